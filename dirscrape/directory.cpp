// The company-directory lookup: fetching the directory's pages, reading a company's data sheet,
// the search by name and the chooser among several results.
#include "dirscrape.hpp"

#include "failure.hpp"
#include "fonts.hpp"

#include <algorithm>

namespace {

// The page a fetch hands back: status_code, url, headers, encoding, html and close().
struct Response {};
// A page's text: raw_html (bytes as received), html (decoded text), encoding, url and find().
struct HTML {};
// One element found in a page: attrs (its attributes) and element (the lxml element, whose
// `text` is the element's own leading text).
struct Element {};

// Settings read at call time from the module, so a test or a user can change them.
py::object setting(const char *name) { return pymod("dirscrape").attr(name); }

py::object known_codec(const py::object &name) {
    if (name.is_none()) return py::none();
    try {
        return pymod("codecs").attr("lookup")(name).attr("name");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_LookupError)) throw;
        return py::none();
    }
}

// The page's text in the charset the server declares, else the one the page declares in its
// <meta>, else UTF-8 when the bytes are valid UTF-8 and windows-1252 when not. Latin-1 and ASCII
// labels are read as windows-1252, as browsers do, since pages so labelled often use its extra
// characters. Undecodable bytes become U+FFFD rather than losing the page.
std::pair<py::str, py::str> decode_page(const py::object &raw, const py::object &content_type) {
    py::object message = pymod("email.message").attr("Message")();
    message.attr("__setitem__")("content-type", content_type.is_none() ? py::str("") : py::str(content_type));
    py::object codec = known_codec(message.attr("get_content_charset")());
    if (codec.is_none()) {
        py::object detector = pymod("bs4.dammit").attr("EncodingDetector");
        codec = known_codec(detector.attr("find_declared_encoding")(raw, "is_html"_a = true));
    }
    if (codec.is_none()) {
        try {
            return {py::str(raw.attr("decode")("utf-8")), py::str("utf-8")};
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_UnicodeDecodeError)) throw;
            codec = py::str("cp1252");
        }
    }
    std::string name = py::str(codec);
    if (name == "iso8859-1" || name == "ascii") codec = py::str("cp1252");
    return {py::str(raw.attr("decode")(codec, "replace")), py::str(codec)};
}

// The page parsed by lxml, made once per page and kept on it; None for a page with no markup.
py::object document(const py::object &html) {
    py::dict cache = html.attr("__dict__");
    if (cache.contains("_document")) return cache["_document"];
    py::object lxml_html = pymod("lxml.html");
    py::object doc = py::none();
    try {
        // From UTF-8 bytes with the parser told so: a text given as str may not carry an
        // encoding declaration, and the <meta> must not override the charset already applied.
        doc = lxml_html.attr("document_fromstring")(
            html.attr("html").attr("encode")("utf-8"), "parser"_a = lxml_html.attr("HTMLParser")("encoding"_a = "utf-8"));
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("lxml.etree").attr("ParserError"))) throw;
    }
    cache["_document"] = doc;
    return doc;
}

py::list find(const py::object &self, const py::object &selector) {
    py::list found;
    py::object doc = document(self);
    if (doc.is_none()) return found;
    for (py::handle element : doc.attr("iter")(selector)) {
        py::object item = py::cast(Element{});
        item.attr("attrs") = py::dict(element.attr("attrib"));
        item.attr("element") = element;
        found.append(item);
    }
    return found;
}

// One GET of a directory page: the page when the server answered 200, else None; `status`, when
// given, receives the status the server answered.
py::object fetch_page(const py::object &url, long *status = nullptr) {
    py::dict headers;
    headers["User-Agent"] = setting("USER_AGENT");
    py::object answer = pymod("requests").attr("get")(url, "headers"_a = headers, "timeout"_a = setting("REQUEST_TIMEOUT"));
    long code = py::int_(answer.attr("status_code")).cast<long>();
    if (status != nullptr) *status = code;
    if (code != 200) {
        answer.attr("close")();
        return py::none();
    }
    py::object raw = answer.attr("content");
    auto [text, encoding] = decode_page(raw, answer.attr("headers").attr("get")("Content-Type"));
    py::object html = py::cast(HTML{});
    html.attr("raw_html") = raw;
    html.attr("html") = text;
    html.attr("encoding") = encoding;
    html.attr("url") = answer.attr("url");
    py::object response = py::cast(Response{});
    response.attr("status_code") = answer.attr("status_code");
    response.attr("url") = answer.attr("url");
    response.attr("headers") = answer.attr("headers");
    response.attr("encoding") = encoding;
    response.attr("html") = html;
    response.attr("_response") = answer;
    return response;
}

py::object get_request(const py::object &url, const py::object & /*render*/) { return fetch_page(url); }

// A listing that does not exist means the directory has no such company; any other answer but
// 200 (the site down, overloaded, refusing us) means the search could not be made.
bool means_no_result(long status) { return status == 404 || status == 410; }

bool is_network_error(py::error_already_set &e) {
    return e.matches(pymod("requests").attr("exceptions").attr("RequestException"));
}

void tell_unreadable() {
    toolkit().attr("popup_error")(tr("No se pudieron leer los datos del directorio de empresas"), "keep_on_top"_a = true);
}

// A value cell's label is the text right before it in the document. Anything else there (a tag,
// a comment, blank space between the label and the cell) means the label cannot be told.
bool is_label(const py::handle &node) {
    py::object element = pymod("bs4.element");
    if (!py::isinstance(node, element.attr("NavigableString"))) return false;
    if (py::isinstance(node, element.attr("PreformattedString"))) return false;
    return py::len(node.attr("strip")()) > 0;
}

struct Sheet {
    py::dict data;
    bool found = false;     // the page has the data block
    bool complete = true;   // every value cell of the block could be read
};

Sheet read_sheet(const py::object &page) {
    Sheet sheet;
    py::object doc = document(page.attr("html"));
    py::object block = doc.is_none() ? py::none() : doc.attr("find")(".//div[@id='content-inner']");
    if (block.is_none()) return sheet;
    sheet.found = true;
    // lxml finds the block in the whole page at C speed; BeautifulSoup then reads only the block
    // up to its last value cell, which keeps a page with hundreds of KB of menus, link lists and
    // tables quick to read. What follows the last cell changes no cell's text or label.
    py::list cells = block.attr("xpath")(".//*[contains(concat(' ', normalize-space(@class), ' '), ' td-datos-externos ')]");
    if (py::len(cells) == 0) return sheet;
    for (py::object node = cells[py::len(cells) - 1]; !node.is(block); node = node.attr("getparent")()) {
        py::object parent = node.attr("getparent")();
        for (py::handle after : py::list(node.attr("itersiblings")())) parent.attr("remove")(after);
        node.attr("tail") = py::none();
    }
    py::dict(page.attr("html").attr("__dict__")).attr("pop")("_document");  // the cached tree is cut now
    py::object fragment = pymod("lxml.html").attr("tostring")(block, "encoding"_a = "unicode", "with_tail"_a = false);
    py::object soup = pymod("bs4").attr("BeautifulSoup")(fragment, "lxml");
    py::object inner = soup.attr("find")("div", "id"_a = "content-inner");
    if (inner.is_none()) {
        sheet.found = false;
        return sheet;
    }
    py::str separator("# ");
    for (py::handle cell : inner.attr("find_all")("class_"_a = "td-datos-externos")) {
        py::object text = cell.attr("text");
        py::object before = cell.attr("previous_element");
        if (!is_label(before)) {
            sheet.complete = false;
            continue;
        }
        py::list parts = (py::str(before) + separator + text).attr("split")(separator);
        if (py::len(parts) != 2) {
            sheet.complete = false;
            continue;
        }
        sheet.data[parts[0]] = parts[1];
    }
    return sheet;
}

py::object slice_to(const py::object &text, const py::object &end) {
    return text[py::slice(py::none(), end, py::none())];
}

// Turns the page's labels into the fields the contact form uses.
void normalise(py::dict &data, const py::object &address, const py::object &que) {
    data["webeinform"] = address;
    auto page = [&](const char *label) { return data.attr("get")(label); };
    auto or_empty = [](py::object value) { return value.is_none() ? py::object(py::str("")) : value; };
    auto upper_or_empty = [](py::object value) { return value.is_none() ? py::object(py::str("")) : value.attr("upper")(); };

    if (page("Razón Social").is_none()) data["Razón Social"] = que;
    data["Poblacion"] = upper_or_empty(page("Localidad"));
    data["Provincia"] = upper_or_empty(page("Provincia"));
    data["Codpost"] = or_empty(page("Código postal"));
    data["Cif"] = or_empty(page("CIF"));
    data["Email"] = or_empty(page("Email"));
    data["Pais"] = py::str("España");
    py::object domicilio = page("Domicilio Social");
    py::object direccion = domicilio.is_none() ? py::object(py::str("")) : domicilio[py::slice(7, 57, 1)];
    data["Direccion"] = direccion;
    if (py::len(direccion) == 0) return;

    py::object poblacion = data["Poblacion"];
    py::object country = domicilio[py::slice(py::none(), py::int_(6), py::none())].attr("lower")();
    if (!country.equal(py::str("españa"))) {
        data["Direccion"] = slice_to(direccion, direccion.attr("find")(poblacion));
        data["Pais"] = py::str("");
        return;
    }
    py::object town = (py::str(", ") + poblacion).attr("lower")();
    data["Direccion"] = slice_to(direccion, direccion.attr("lower")().attr("find")(town));
}

// Reads the chosen company page; {} when it cannot be had at all. The user is told whenever
// the data could not be read or was read only in part.
py::dict read_company(const py::object &address, const py::object &que) {
    py::object page;
    try {
        page = get_request(address, py::bool_(false));
    } catch (py::error_already_set &e) {
        if (!is_network_error(e)) throw;
        tell_unreadable();
        return py::dict();
    }
    if (page.is_none()) {
        tell_unreadable();
        return py::dict();
    }
    Sheet sheet = read_sheet(page);
    page.attr("close")();
    if (!sheet.found) {
        tell_unreadable();
        return py::dict();
    }
    normalise(sheet.data, address, que);
    if (!sheet.complete) tell_unreadable();
    return sheet.data;
}

// The result an anchor names: its own leading text. When the name starts inside a child element
// (<a><b>NAME</b> REST<span>...</span></a>) that child's whole text and the text following it
// stand in for it, so the name is kept without the place the listing adds after it.
py::object anchor_name(const py::object &element) {
    py::object text = element.attr("text");
    if (!text.is_none()) return text;
    py::object children = element.attr("getchildren")();
    if (py::len(children) == 0) return py::str("");
    py::object first = children[py::int_(0)];
    py::object tail = first.attr("tail");
    return py::str(first.attr("text_content")()) + (tail.is_none() ? py::str("") : py::str(tail));
}

// The port an address reaches: its own, else its scheme's default.
int effective_port(const py::object &parts) {
    py::object port = parts.attr("port");  // raises ValueError for a port that is not a number
    if (!port.is_none()) return port.cast<int>();
    return py::str(parts.attr("scheme")).cast<std::string>() == "http" ? 80 : 443;
}

// Whether a result link may be fetched or opened: only pages of the directory itself, over
// https or the directory's own scheme. A listing may hold anything (javascript:, file:, other
// sites, plain http); none of it is followed or handed to the browser.
bool is_directory_page(const py::object &address, const py::object &directory) {
    py::object split = pymod("urllib.parse").attr("urlsplit");
    try {
        py::object link = split(address), home = split(directory);
        std::string scheme = py::str(link.attr("scheme")).attr("lower")().cast<std::string>();
        std::string home_scheme = py::str(home.attr("scheme")).attr("lower")().cast<std::string>();
        if (scheme != "https" && scheme != home_scheme) return false;
        py::object host = link.attr("hostname");
        if (host.is_none() || !host.equal(home.attr("hostname"))) return false;
        return effective_port(link) == effective_port(home);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;  // an address that does not even parse
    }
}

// The chooser among several results; the chosen address, or None when the user chose none.
py::object choose(const py::list &plistares, const py::list &listaresultado, size_t totalanchonombre) {
    py::object sg = toolkit();
    // Beside the list, one button that opens the selected companies' pages in the browser.
    py::object open_button = sg.attr("Button")(verbatim("Abrir web informacion"), "key"_a = "verwer", "size"_a = py::make_tuple(10, 3));
    py::list layout;
    layout.append(make_list(
        sg.attr("Listbox")("values"_a = plistares, "key"_a = "-LISTBOX-",
                           "size"_a = py::make_tuple(totalanchonombre + 10, py::len(plistares) + 3), "font"_a = fonts::PLAIN,
                           "select_mode"_a = sg.attr("LISTBOX_SELECT_MODE_MULTIPLE")),
        sg.attr("Column")(make_list(make_list(open_button)))));
    layout.append(make_list(sg.attr("Button")(verbatim("USAR DATOS EINFORMA"), "key"_a = "-exportar-", "font"_a = fonts::PLAIN, "expand_x"_a = true)));
    layout.append(make_list(sg.attr("StatusBar")("", "key"_a = "-STATUS-", "size"_a = py::make_tuple(30, 1))));
    ScopedWindow window(sg.attr("Window")(verbatim("Empresa eInforma"), layout, "finalize"_a = true, "keep_on_top"_a = true));

    auto address_of = [&](const py::handle &name) -> py::object { return listaresultado[plistares.attr("index")(name)]; };
    while (true) {
        py::tuple read = window->attr("read")();
        py::object event = read[0], values = read[1];
        if (event.is_none() || event.equal(sg.attr("WIN_CLOSED"))) return py::none();
        if (event.equal(py::str("verwer"))) {
            for (py::handle name : values["-LISTBOX-"]) open_page(address_of(name));
        } else if (event.equal(py::str("-exportar-"))) {
            py::list selected = values["-LISTBOX-"];
            if (py::len(selected) == 0) {
                sg.attr("popup_error")(tr("Seleccione una empresa de la lista"), "keep_on_top"_a = true);
                continue;
            }
            if (py::len(selected) > 1) {
                sg.attr("popup_error")(verbatim("Solo se permite elegir un Registro por telefono"), "keep_on_top"_a = true,
                                       "auto_close_duration"_a = 2);
                return py::none();
            }
            return address_of(selected[0]);
        }
    }
}

py::dict dirscrape(py::object que) {
    py::list palabras = que.attr("upper")().attr("split")();
    que = que.attr("replace")(" ", "-").attr("strip")().attr("upper")();
    // The name is one path segment: "/", "?", "#" or "%" in it must not change the address.
    py::object segment = pymod("urllib.parse").attr("quote")(que, "safe"_a = "");
    py::str directory(services::directory());
    py::str web = directory + py::str("Actividad/") + py::str(segment) + py::str("/");

    py::object r;
    long status = 0;
    try {
        r = fetch_page(web, &status);
    } catch (py::error_already_set &e) {
        if (!is_network_error(e)) throw;
        tell_unreadable();
        return py::dict();
    }
    if (r.is_none()) {
        if (!means_no_result(status)) tell_unreadable();
        return py::dict();
    }

    py::object urljoin = pymod("urllib.parse").attr("urljoin");
    py::object page_url = r.attr("url");
    py::list resultacuallink;
    for (py::handle anchor : r.attr("html").attr("find")("a")) {
        py::object attrs = anchor.attr("attrs");
        py::object title = attrs.attr("get")("title");
        if (title.is_none() || !title.contains(py::str("Ver perfil"))) continue;
        py::object href = attrs.attr("get")("href");
        if (href.is_none()) continue;  // nothing to open or read
        // Listings link relatively as well as absolutely; the browser and the reader need whole addresses.
        py::object address = urljoin(page_url, href);
        if (!is_directory_page(address, directory)) continue;
        resultacuallink.append(make_list(address, anchor_name(anchor.attr("element")).attr("upper")()));
    }
    r.attr("close")();

    size_t debecumplir = py::len(palabras);
    size_t totalanchonombre = 0;
    py::list listaresultado, plistares;
    for (py::handle candidate : resultacuallink) {
        py::object name = candidate[py::int_(1)];
        size_t cumple = 0;
        for (py::handle word : name.attr("split")())
            if (palabras.contains(word)) ++cumple;
        if (cumple < debecumplir) continue;
        listaresultado.append(candidate[py::int_(0)]);
        plistares.append(name);
        totalanchonombre = std::max(totalanchonombre, py::len(name));
    }

    if (py::len(listaresultado) == 0) return py::dict();
    py::object chosen = listaresultado[0];
    if (py::len(listaresultado) > 1) {
        chosen = choose(plistares, listaresultado, totalanchonombre);
        if (chosen.is_none()) return py::dict();
    }
    return read_company(chosen, que);
}

}  // namespace

void register_directory(py::module_ &m) {
    py::class_<Response>(m, "Response", py::dynamic_attr())
        .def("close", [](py::object self) { self.attr("_response").attr("close")(); }, "Releases the connection.");
    py::class_<HTML>(m, "HTML", py::dynamic_attr())
        .def("find", &find, "selector"_a, "The page's elements with this tag name, in document order.");
    py::class_<Element>(m, "Element", py::dynamic_attr());

    // Seconds to wait for the directory to connect and to send each part of a page.
    m.attr("REQUEST_TIMEOUT") = 10;
    // The directory answers ordinary browsers; scripts with a library's default agent may be refused.
    m.attr("USER_AGENT") = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                           "Chrome/126.0 Safari/537.36";

    m.def("get_request", &get_request, "url"_a, "render"_a = false,
          "Fetches a page of the directory (with a time-out and a browser's User-Agent).\n\n"
          "Returns the response (status_code, url, headers, encoding, html with raw_html, html,\n"
          "find(tag) and close()) when the server answered 200, otherwise None. Network errors\n"
          "and time-outs raise requests' exceptions. `render` is accepted and changes nothing:\n"
          "the page is returned as the server sent it.");
    m.def("dirscrape", &dirscrape, "que"_a,
          "Looks a company up by name in the company directory and returns its data as a dict of\n"
          "texts: the page's own labels plus Razón Social, Cif, Email, Direccion, Codpost, Poblacion,\n"
          "Provincia, Pais and webeinform (the page read). A result is a profile link of the listing\n"
          "whose name holds as many of the searched words as were searched (one held twice counts\n"
          "twice); when several are, the user picks one in a chooser window. Returns {} when nothing matches,\n"
          "the user chooses none, or the directory cannot be read (the user is told so).");
}
