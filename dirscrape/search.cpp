// The search by name: the listing, its results, the chooser among several, the chosen company.
#include "dirscrape.hpp"
#include "released.hpp"

#include "failure.hpp"
#include "fonts.hpp"
#include "words.hpp"

#include <algorithm>
#include <vector>

namespace {

// The chooser's list is sized to its names: this many columns beyond the longest name, and
// this many rows beyond their number.
constexpr std::size_t LIST_EXTRA_COLUMNS = 10;
constexpr std::size_t LIST_EXTRA_ROWS = 3;
// The title that marks a listing's result links.
constexpr const char *PROFILE_TITLE = "Ver perfil";
// Seconds the refusal of several selected names stays before it closes itself.
constexpr int REFUSAL_SECONDS = 2;

// One search: the words a result's name must carry and the name as the listing spells it.
struct Search {
    py::list palabras;  // the name in upper case, split at blanks
    py::object que;     // the name with each blank a hyphen, then stripped and upper-cased
};

// One result of the listing: the company page's whole address and its name in upper case.
struct Candidate {
    py::object address;
    py::object name;
};

// The results offered to the user, in page order.
struct Results {
    py::list listaresultado;           // the company pages' addresses
    py::list plistares;                // their names, in the same order
    std::size_t totalanchonombre = 0;  // the longest name's length, in characters
};

// Blanks become hyphens before the strip, so blanks at the ends stay in the address as hyphens.
Search make_search(const py::object &que) {
    Search search;
    search.palabras = que.attr("upper")().attr("split")();
    search.que = que.attr("replace")(" ", "-").attr("strip")().attr("upper")();
    return search;
}

// The listing of a name: "Actividad/<name>/" on the directory. The name is one path segment:
// "/", "?", "#" or "%" in it must not change the address.
py::str listing_address(const py::str &directory, const py::object &que) {
    py::object segment = pymod("urllib.parse").attr("quote")(que, "safe"_a = "");
    return directory + py::str("Actividad/") + py::str(segment) + py::str("/");
}

// The words of a text as Python's str.split() finds them.
std::vector<std::string> words_of(const py::handle &text) {
    return text.attr("split")().cast<std::vector<std::string>>();
}

// The result an anchor names: its own leading text. When the name starts inside a child element
// (<a><b>NAME</b> REST<span>...</span></a>) that child's whole text and the text following it
// stand in for it, so the name is kept without the place the listing adds after it.
py::object anchor_name(const py::handle &anchor) {
    py::object text = anchor.attr("text");
    if (!text.is_none()) return text;
    py::list children = anchor.attr("getchildren")();
    if (children.empty()) return py::str("");
    py::object first = children[0];
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
        py::object scheme = link.attr("scheme");  // urlsplit gives schemes in lower case
        if (!scheme.equal(py::str("https")) && !scheme.equal(home.attr("scheme"))) return false;
        py::object host = link.attr("hostname");
        if (host.is_none() || !host.equal(home.attr("hostname"))) return false;
        return effective_port(link) == effective_port(home);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return false;  // an address that does not even parse
    }
}

// The listing's "Ver perfil" links that lead to the directory's own pages, in page order.
std::vector<Candidate> candidates(HTML &listing, const py::str &directory) {
    py::object urljoin = pymod("urllib.parse").attr("urljoin");
    std::vector<Candidate> found;
    for (py::handle anchor : elements(listing, py::str("a"))) {
        py::object title = anchor.attr("get")("title");
        if (title.is_none() || !title.contains(py::str(PROFILE_TITLE))) continue;
        py::object href = anchor.attr("get")("href");
        if (href.is_none()) continue;  // nothing to open or read
        // Listings link relatively as well as absolutely; the browser and the reader need whole addresses.
        py::object address = urljoin(listing.url, href);
        if (is_directory_page(address, directory)) found.push_back({address, anchor_name(anchor).attr("upper")()});
    }
    return found;
}

Results keep_matching(const std::vector<Candidate> &found, const py::list &palabras) {
    std::vector<std::string> search_words = palabras.cast<std::vector<std::string>>();
    Results results;
    for (const Candidate &candidate : found) {
        if (!carries_search(words_of(candidate.name), search_words)) continue;
        results.listaresultado.append(candidate.address);
        results.plistares.append(candidate.name);
        results.totalanchonombre = std::max(results.totalanchonombre, py::len(candidate.name));
    }
    return results;
}

// The names with, beside them, the button that opens the selected ones' pages; the button that
// uses one; a status bar.
py::list chooser_layout(const py::object &sg, const Results &results) {
    py::object open_pages =
        sg.attr("Button")(verbatim("Abrir web informacion"), "key"_a = "verwer", "size"_a = py::make_tuple(10, 3));
    py::object size =
        py::make_tuple(results.totalanchonombre + LIST_EXTRA_COLUMNS, py::len(results.plistares) + LIST_EXTRA_ROWS);
    py::object names =
        sg.attr("Listbox")("values"_a = results.plistares, "key"_a = "-LISTBOX-", "size"_a = size,
                           "font"_a = fonts::PLAIN, "select_mode"_a = sg.attr("LISTBOX_SELECT_MODE_MULTIPLE"));
    py::object use_one = sg.attr("Button")(verbatim("USAR DATOS EINFORMA"), "key"_a = "-exportar-",
                                           "font"_a = fonts::PLAIN, "expand_x"_a = true);
    py::object status = sg.attr("StatusBar")("", "key"_a = "-STATUS-", "size"_a = py::make_tuple(30, 1));
    return make_list(make_list(names, sg.attr("Column")(make_list(make_list(open_pages)))), make_list(use_one),
                     make_list(status));
}

// The chooser among several results; the chosen address, or None when the user chose none.
py::object choose(const Results &results) {
    py::object sg = toolkit();
    ScopedWindow window(sg.attr("Window")(verbatim("Empresa eInforma"), chooser_layout(sg, results),
                                          "finalize"_a = true, "keep_on_top"_a = true));
    // A name stands for the first result of that name: two companies may share one.
    auto address_of = [&](const py::handle &name) -> py::object {
        return results.listaresultado[results.plistares.attr("index")(name)];
    };
    while (true) {
        py::tuple read = window->attr("read")();
        py::object event = read[0], values = read[1];
        if (event.is_none() || event.equal(sg.attr("WIN_CLOSED"))) return py::none();
        if (event.equal(py::str("verwer"))) {
            for (py::handle name : values["-LISTBOX-"]) open_page(address_of(name));
        } else if (event.equal(py::str("-exportar-"))) {
            py::list selected = values["-LISTBOX-"];
            if (py::len(selected) == 0) {
                show_popup("popup_error", tr("Seleccione una empresa de la lista"), "keep_on_top"_a = true);
                continue;
            }
            if (py::len(selected) > 1) {
                show_popup("popup_error", verbatim("Solo se permite elegir un Registro por telefono"),
                           "keep_on_top"_a = true, "auto_close_duration"_a = REFUSAL_SECONDS);
                return py::none();
            }
            return address_of(selected[0]);
        }
    }
}

// The company page to read: the only result at once, else the user's pick in the chooser; None
// when there is no result or the user picks none.
py::object pick(const Results &results) {
    std::size_t count = py::len(results.listaresultado);
    if (count == 0) return py::none();
    if (count == 1) return results.listaresultado[0];
    return choose(results);
}

py::dict dirscrape(const py::object &que) {
    Search search = make_search(que);
    py::str directory(services::directory());
    py::object listing = fetch_or_tell(listing_address(directory, search.que), false);
    if (listing.is_none()) return py::dict();
    const Response &response = listing.cast<const Response &>();
    std::vector<Candidate> found = candidates(response.html.cast<HTML &>(), directory);
    response.close();
    py::object chosen = pick(keep_matching(found, search.palabras));
    if (chosen.is_none()) return py::dict();
    return read_company(chosen, search.que);
}

}  // namespace

void register_search(py::module_ &m) {
    m.def("dirscrape", &dirscrape, "que"_a,
          "Looks a company up by name in the company directory and returns its data as a dict of\n"
          "texts: the page's own labels plus Razón Social, Cif, Email, Direccion, Codpost, Poblacion,\n"
          "Provincia, Pais and webeinform (the page read). A result is a profile link of the listing\n"
          "whose name holds as many of the searched words as were searched (one held twice counts\n"
          "twice); when several are, the user picks one in a chooser window. Returns {} when nothing\n"
          "matches, the user chooses none, or the directory cannot be read (the user is told so).");
}
