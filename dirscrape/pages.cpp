// Fetching the directory's pages: the request, the page's decoding and parsing, get_request.
#include "dirscrape.hpp"
#include "exchange.hpp"
#include "gui.hpp"

namespace {

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
    message["content-type"] = content_type.is_none() ? py::str("") : py::str(content_type);
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

py::object parse(const py::object &text) {
    py::object lxml_html = pymod("lxml.html");
    try {
        // From UTF-8 bytes with the parser told so: a text given as str may not carry an
        // encoding declaration, and the <meta> must not override the charset already applied.
        return lxml_html.attr("document_fromstring")(text.attr("encode")("utf-8"),
                                                     "parser"_a = lxml_html.attr("HTMLParser")("encoding"_a = "utf-8"));
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("lxml.etree").attr("ParserError"))) throw;
        return py::none();  // nothing but blanks or comments
    }
}

py::list find(HTML &page, const py::object &selector) {
    py::list found;
    for (py::handle element : elements(page, selector)) {
        Element item;
        item.attrs = py::dict(element.attr("attrib"));
        item.element = py::reinterpret_borrow<py::object>(element);
        found.append(py::cast(std::move(item)));
    }
    return found;
}

}  // namespace

py::object fetch_page(const py::object &url, long &status) {
    py::dict headers("User-Agent"_a = setting("USER_AGENT"));
    double seconds = setting("REQUEST_TIMEOUT").cast<double>();
    auto longest = setting("MAX_PAGE_BYTES").cast<std::size_t>();
    exchange::Call call{"get", url, headers, py::none(), seconds, seconds_from_now(seconds), longest};
    py::object answer = exchange::run(call);
    Response response;
    response.status_code = answer.attr("status_code");
    status = py::int_(response.status_code).cast<long>();
    if (status != 200) {
        answer.attr("close")();
        return py::none();
    }
    HTML html;
    html.raw_html = answer.attr("content");
    html.url = response.url = answer.attr("url");
    std::tie(html.html, html.encoding) = decode_page(html.raw_html, answer.attr("headers").attr("get")("Content-Type"));
    response.headers = answer.attr("headers");
    response.encoding = html.encoding;
    response.html = py::cast(std::move(html));
    response.answer = answer;
    return py::cast(std::move(response));
}

bool means_no_result(long status) { return status == 404 || status == 410; }

namespace {

py::object get_request(const py::object &url, const py::object & /*render*/) {
    long status = 0;
    return fetch_page(url, status);
}

bool is_network_error(py::error_already_set &e) {
    return e.matches(pymod("requests.exceptions").attr("RequestException"));
}

}  // namespace

py::object document(HTML &page) {
    if (!page.tree) page.tree = parse(page.html);
    return page.tree;
}

py::list elements(HTML &page, const py::handle &tag) {
    py::object doc = document(page);
    return doc.is_none() ? py::list() : py::list(doc.attr("iter")(tag));
}

void tell_unreadable() {
    show_popup("popup_error", tr("No se pudieron leer los datos del directorio de empresas"), "keep_on_top"_a = true);
}

py::object fetch_or_tell(const py::object &url, bool missing_is_failure) {
    long status = 0;
    py::object page;
    try {
        page = fetch_page(url, status);
    } catch (py::error_already_set &e) {
        if (!is_network_error(e)) throw;
        tell_unreadable();
        return py::none();
    }
    if (page.is_none() && (missing_is_failure || !means_no_result(status))) tell_unreadable();
    return page;
}

void register_pages(py::module_ &m) {
    py::class_<Response>(m, "Response", py::dynamic_attr())
        .def_readwrite("status_code", &Response::status_code)
        .def_readwrite("url", &Response::url)
        .def_readwrite("headers", &Response::headers)
        .def_readwrite("encoding", &Response::encoding)
        .def_readwrite("html", &Response::html)
        .def("close", &Response::close, "Releases the connection.");
    py::class_<HTML>(m, "HTML", py::dynamic_attr())
        .def_readwrite("raw_html", &HTML::raw_html)
        .def_readwrite("html", &HTML::html)
        .def_readwrite("encoding", &HTML::encoding)
        .def_readwrite("url", &HTML::url)
        .def("find", &find, "selector"_a, "The page's elements with this tag name, in document order.");
    py::class_<Element>(m, "Element", py::dynamic_attr())
        .def_readwrite("attrs", &Element::attrs)
        .def_readwrite("element", &Element::element);

    // Seconds the directory has to send a whole page, from the connection to its last byte.
    m.attr("REQUEST_TIMEOUT") = 10;
    // A longer page is refused: no listing or company sheet comes near it.
    m.attr("MAX_PAGE_BYTES") = 5 * 1024 * 1024;
    // The directory answers ordinary browsers; scripts with a library's default agent may be refused.
    m.attr("USER_AGENT") =
        "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/126.0 Safari/537.36";

    m.def("get_request", &get_request, "url"_a, "render"_a = false,
          "Fetches a page of the directory (with a browser's User-Agent) within REQUEST_TIMEOUT\n"
          "seconds for the whole page; redirects are followed only on the same host.\n\n"
          "Returns the response (status_code, url, headers, encoding, html with raw_html, html,\n"
          "find(tag) and close()) when the server answered 200, otherwise None. Network errors\n"
          "and time-outs raise requests' exceptions, and so does a page longer than\n"
          "MAX_PAGE_BYTES (RequestException). Safe to call from any thread. `render` is accepted\n"
          "and changes nothing: the page is returned as the server sent it.");
}
