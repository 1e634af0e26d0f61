// The search by name: the listing, its results, the chooser among several, the chosen company.
#include "dirscrape.hpp"

#include "fonts.hpp"
#include "words.hpp"
#include "gui.hpp"
#include "services.hpp"

#include <algorithm>
#include <map>
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
// Characters of what tells a company apart, at the most: a listing may say a lot.
constexpr std::size_t EXTRA_MAX = 60;
// What separates a name from what tells it apart, and the parts of the latter.
constexpr const char *APART = " \u2014 ";
constexpr const char *PARTS = " \u00b7 ";

// One search: the words a result's name must carry and the name as the listing spells it.
struct Search {
    py::list palabras;  // the name in upper case, split at blanks
    py::object que;     // the name with each blank a hyphen, then stripped and upper-cased
};

// One result of the listing: the company page's whole address, its name in upper case, and what
// else the listing says of it (place, activity), which tells apart two companies of one name.
struct Candidate {
    py::object address;
    py::object name;
    py::object extra;
};

// The results offered to the user, in page order.
struct Results {
    py::list addresses;          // the company pages' addresses
    py::list rows;               // what each row shows (its name, told apart), in the same order
    std::size_t widest_row = 0;  // the longest name's length, in characters
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

// A text with its blanks and line breaks made single blanks, without the dashes and dots that
// listings put between a name and a place.
py::str tidy(const py::handle &text) {
    py::str words = py::str(" ").attr("join")(text.attr("split")());
    return words.attr("strip")(" -\u2013\u2014\u00b7|,;:");
}

// What the listing says of a result besides its name: the rest of the anchor's text (a place
// after the name) and the text of the block that holds the anchor (a place line, an activity),
// when that block is the result's own. Links, scripts and styles are no part of it.
py::str extra_text(const py::handle &anchor, const py::object &name) {
    py::list parts;
    py::str whole = anchor.attr("text_content")();
    if (py::bool_(whole.attr("startswith")(name)))
        parts.append(tidy(whole[py::slice(py::len(name), std::nullopt, std::nullopt)]));
    py::object block = anchor.attr("getparent")();
    if (!block.is_none()) {
        std::size_t links = 0;
        for (py::handle a : block.attr("iter")("a"))
            if (py::str(a.attr("get")("title", "")).contains(py::str(PROFILE_TITLE))) ++links;
        if (links == 1) {
            py::object own = pymod("copy").attr("deepcopy")(block);
            pymod("lxml.etree").attr("strip_elements")(own, "a", "script", "style", "with_tail"_a = false);
            parts.append(tidy(own.attr("text_content")()));
        }
    }
    py::list kept;
    for (py::handle part : parts)
        if (py::len(part) > 0) kept.append(part);
    py::str extra = py::str(PARTS).attr("join")(kept);
    if (py::len(extra) <= EXTRA_MAX) return extra;
    return py::str(extra[py::slice(0, EXTRA_MAX - 1, 1)]) + py::str("\u2026");
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
        if (!is_directory_page(address, directory)) continue;
        py::object name = anchor_name(anchor);
        found.push_back({address, name.attr("upper")(), extra_text(anchor, name)});
    }
    return found;
}

// The name part of a company page's address: its last path segment without the extension.
py::str page_name(const py::object &address) {
    py::str path = pymod("urllib.parse").attr("urlsplit")(address).attr("path");
    py::str last = path.attr("rstrip")("/").attr("rsplit")("/", 1)[py::int_(-1)];
    return pymod("os.path").attr("splitext")(last)[py::int_(0)];
}

// What each row shows: its name, and where two rows show the same name, what tells each apart
// (the listing's own words, else the name part of its address); a row still the same as an
// earlier one gets its number. Rows must differ: the chosen row is found by what it shows.
py::list rows_shown(const std::vector<Candidate> &kept) {
    std::map<std::string, int> counts;
    for (const Candidate &candidate : kept) ++counts[py::str(candidate.name).cast<std::string>()];
    py::list rows;
    py::set seen;
    for (const Candidate &candidate : kept) {
        py::str row(candidate.name);
        if (counts[row.cast<std::string>()] > 1) {
            py::str apart = py::len(candidate.extra) > 0 ? py::str(candidate.extra) : page_name(candidate.address);
            row = tidy(candidate.name) + py::str(APART) + apart;
        }
        py::str base = row;
        for (int n = 2; seen.contains(row); ++n) row = base + py::str(" (" + std::to_string(n) + ")");
        seen.add(row);
        rows.append(row);
    }
    return rows;
}

Results keep_matching(const std::vector<Candidate> &found, const py::list &palabras) {
    std::vector<std::string> search_words = palabras.cast<std::vector<std::string>>();
    std::vector<Candidate> kept;
    for (const Candidate &candidate : found)
        if (carries_search(words_of(candidate.name), search_words)) kept.push_back(candidate);
    Results results;
    results.rows = rows_shown(kept);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        results.addresses.append(kept[i].address);
        results.widest_row = std::max(results.widest_row, py::len(results.rows[i]));
    }
    return results;
}

// The names with, beside them, the button that opens the selected ones' pages; the button that
// uses one; a status bar.
py::list chooser_layout(const py::object &sg, const Results &results) {
    py::object open_pages =
        sg.attr("Button")(verbatim("Abrir web informacion"), "key"_a = "verwer", "size"_a = py::make_tuple(10, 3));
    py::object size = py::make_tuple(results.widest_row + LIST_EXTRA_COLUMNS, py::len(results.rows) + LIST_EXTRA_ROWS);
    py::object names =
        sg.attr("Listbox")("values"_a = results.rows, "key"_a = "-LISTBOX-", "size"_a = size, "font"_a = fonts::PLAIN,
                           "select_mode"_a = sg.attr("LISTBOX_SELECT_MODE_MULTIPLE"));
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
                                          "finalize"_a = true, "keep_on_top"_a = true, "modal"_a = true,
                                          "icon"_a = window_icon()));
    // Escape is closing the chooser ("Exit").
    window->attr("bind")("<Escape>", "Exit");
    // Each row shows something of its own, so what a row shows finds its result.
    auto address_of = [&](const py::handle &row) -> py::object {
        return results.addresses[results.rows.attr("index")(row)];
    };
    while (true) {
        auto [event, values] = read_event(*window);
        if (event.is_none() || event.equal(sg.attr("WIN_CLOSED")) || event.equal(py::str("Exit"))) return py::none();
        if (event.equal(py::str("verwer"))) {
            for (py::handle row : values["-LISTBOX-"]) open_page(address_of(row));
        } else if (event.equal(py::str("-exportar-"))) {
            py::list selected = values["-LISTBOX-"];
            if (py::len(selected) == 0) {
                show_popup("popup_error", tr("Seleccione una empresa de la lista"), "keep_on_top"_a = true);
                continue;
            }
            // One company per contact: the user chooses again.
            if (py::len(selected) > 1) {
                show_popup("popup_error", verbatim("Solo se permite elegir un Registro por telefono"),
                           "keep_on_top"_a = true, "auto_close_duration"_a = REFUSAL_SECONDS);
                continue;
            }
            return address_of(selected[0]);
        }
    }
}

// The company page to read: the only result at once, else the user's pick in the chooser; None
// when there is no result or the user picks none.
py::object pick(const Results &results) {
    std::size_t count = py::len(results.addresses);
    if (count == 0) return py::none();
    if (count == 1) return results.addresses[0];
    return choose(results);
}

// The listing's results, read off the GUI thread: (address, name, extra) for each.
py::object listing_results(const py::object &page, const py::str &directory) {
    py::list found;
    for (const Candidate &candidate : candidates(page.attr("html").cast<HTML &>(), directory))
        found.append(py::make_tuple(candidate.address, candidate.name, candidate.extra));
    return found;
}

py::dict dirscrape(const py::object &que) {
    Search search = make_search(que);
    py::str directory(services::directory());
    py::object listed;
    auto read = [directory](const py::object &page) { return listing_results(page, directory); };
    // A listing that is not there only means that the directory has no such company.
    if (fetch_off_gui_thread(listing_address(directory, search.que), read, listed) != Fetched::read) return py::dict();
    std::vector<Candidate> found;
    for (py::handle item : listed) found.push_back({item[py::int_(0)], item[py::int_(1)], item[py::int_(2)]});
    py::object chosen = pick(keep_matching(found, search.palabras));
    if (chosen.is_none()) return py::dict();
    return read_company(chosen, search.que);
}

}  // namespace

void register_search(py::module_ &m) {
    // Seconds a directory request may take before a notice says that the search goes on (the
    // windows stay alive meanwhile either way).
    m.attr("NOTICE_DELAY") = 0.05;
    m.def("dirscrape", &dirscrape, "que"_a,
          "Looks a company up by name in the company directory and returns its data as a dict of\n"
          "texts: the page's own labels plus Razón Social, Cif, Email, Direccion, Codpost, Poblacion,\n"
          "Provincia, Pais and webeinform (the page read). A result is a profile link of the listing\n"
          "whose name holds as many of the searched words as were searched (one held twice counts\n"
          "twice); when several are, the user picks one in a chooser window, where rows of the same\n"
          "name also show what tells them apart. The pages are fetched on a thread of their own while\n"
          "the windows stay alive. Returns {} when nothing matches, the user chooses none, or the\n"
          "directory cannot be read (the user is told so when it fails).");
}
