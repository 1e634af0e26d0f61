// The reader of the API key: config.ini's section api, entry api_key.
#include "crmapi.hpp"
#include "settings_file.hpp"

const char *const READER_DOC = "Reader of the API key in config.ini (section api, entry api_key).";

void construct_reader(py::object self) {
    // Read and written the way the settings store does (encoding, repeated options, repairs).
    py::object config = settings_parser();
    self.attr("config") = config;
    self.attr("ficheroini") = py::str("config.ini");
    py::object ficheroini = self.attr("ficheroini");
    tell_damaged_settings(on_settings_file(ficheroini, [&] { return read_settings(config, ficheroini); }));
    // Written only when the section is missing: a complete file (perhaps read-only) stays as it is.
    if (!py::bool_(config.attr("has_section")("api"))) {
        py::dict modelo;
        modelo["api_key"] = "";
        config.attr("add_section")("api");
        for (auto lineas : modelo) config.attr("set")("api", lineas.first, lineas.second);
        on_settings_file(ficheroini, [&] { write_settings(config, ficheroini); });
    }
    py::dict cvariables;
    // A section without the entry is a key never given: empty, so the client stops politely.
    cvariables["api_key"] = clean_key(config.attr("get")("api", "api_key", "fallback"_a = ""));
    self.attr("cvariables") = cvariables;
}
