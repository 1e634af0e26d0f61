// Reading a company's page: the data sheet's label/value pairs and the fields made from them.
#include "dirscrape.hpp"

#include <optional>

namespace {

// The page's data block, and the value cells in it.
constexpr const char *DATA_BLOCK_ID = "content-inner";
constexpr const char *DATA_BLOCK = ".//div[@id='content-inner']";
constexpr const char *VALUE_CELL_CLASS = "td-datos-externos";
constexpr const char *VALUE_CELLS = ".//*[contains(concat(' ', normalize-space(@class), ' '), ' td-datos-externos ')]";
// What joins a label to its value in the line the sheet is read from.
constexpr const char *LABEL_SEPARATOR = "# ";

// "Domicilio Social" reads "<country> <street>, <postcode>, <town>": the street part is what
// follows its first seven characters ("España "), fifty of them at the most.
constexpr py::ssize_t STREET_FROM = 7;
constexpr py::ssize_t STREET_TO = STREET_FROM + 50;
// An address in Spain opens with this word, in any letter case.
constexpr const char *SPAIN = "españa";

struct Sheet {
    py::dict data;
    bool found = false;    // the page has the data block
    bool complete = true;  // every value cell of the block could be read
};

// A value cell's label is the text right before it in the document. Anything else there (a tag,
// a comment, blank space between the label and the cell) means the label cannot be told.
bool is_label(const py::handle &node) {
    py::object element = pymod("bs4.element");
    if (!py::isinstance(node, element.attr("NavigableString"))) return false;
    if (py::isinstance(node, element.attr("PreformattedString"))) return false;
    return py::len(node.attr("strip")()) > 0;
}

// The block's value cells, with everything after the last one cut away. lxml finds them in the
// whole page at C speed; BeautifulSoup then reads only the block up to its last value cell,
// which keeps a page with hundreds of KB of menus, link lists and tables quick to read. What
// follows the last cell changes no cell's text or label.
py::list cut_after_last_cell(const py::object &block) {
    py::list cells = block.attr("xpath")(VALUE_CELLS);
    if (py::len(cells) == 0) return cells;
    py::object node = cells[py::len(cells) - 1];
    while (!node.is(block)) {
        py::object parent = node.attr("getparent")();
        for (py::handle after : py::list(node.attr("itersiblings")())) parent.attr("remove")(after);
        node.attr("tail") = py::none();
        node = parent;
    }
    return cells;
}

// The block as BeautifulSoup reads it (with lxml); None when it does not read back as the block.
py::object soup_of(const py::object &block) {
    py::object fragment = pymod("lxml.html").attr("tostring")(block, "encoding"_a = "unicode", "with_tail"_a = false);
    py::object soup = pymod("bs4").attr("BeautifulSoup")(fragment, "lxml");
    return soup.attr("find")("div", "id"_a = DATA_BLOCK_ID);
}

// A value cell's label and value, as the page's "label# value" line splits; none when the label
// cannot be told or the line does not split in exactly two (a "# " inside either side).
std::optional<std::pair<py::object, py::object>> label_and_value(const py::handle &cell) {
    py::object before = cell.attr("previous_element");
    if (!is_label(before)) return std::nullopt;
    py::object value = cell.attr("text");
    py::str separator(LABEL_SEPARATOR);
    py::list parts = (py::str(before) + separator + value).attr("split")(separator);
    if (py::len(parts) != 2) return std::nullopt;
    return std::make_pair(parts[0], parts[1]);
}

Sheet read_sheet(HTML &page) {
    Sheet sheet;
    py::object doc = document(page);
    py::object block = doc.is_none() ? py::none() : doc.attr("find")(DATA_BLOCK);
    if (block.is_none()) return sheet;
    sheet.found = true;
    if (py::len(cut_after_last_cell(block)) == 0) return sheet;
    page.tree = py::object();  // cut now: a later find() parses the page afresh
    py::object inner = soup_of(block);
    if (inner.is_none()) {
        sheet.found = false;
        return sheet;
    }
    for (py::handle cell : inner.attr("find_all")("class_"_a = VALUE_CELL_CLASS)) {
        auto pair = label_and_value(cell);
        if (pair)
            sheet.data[pair->first] = pair->second;
        else
            sheet.complete = false;
    }
    return sheet;
}

// Characters [from, to) of a text, counted in code points as Python slices ("España" is six
// long); no `from` is the start, and a negative `to` counts from the end.
py::str code_points(const py::handle &text, std::optional<py::ssize_t> from, std::optional<py::ssize_t> to) {
    py::object part = text[py::slice(from, to, std::nullopt)];
    return part;
}

// A text in Python's lower case (str.lower, which knows "Ñ" and "É").
py::str lower(const py::handle &text) { return text.attr("lower")(); }

// Where `part` first stands in `text`, in code points; -1 when it does not.
py::ssize_t position(const py::handle &text, const py::handle &part) {
    return text.attr("find")(part).cast<py::ssize_t>();
}

// The page's value of a label; None when the page has none.
py::object page_value(const py::dict &data, const char *label) {
    return data.contains(label) ? py::object(data[label]) : py::none();
}

py::object or_empty(const py::object &value) { return value.is_none() ? py::object(py::str("")) : value; }
py::object upper_or_empty(const py::object &value) {
    return value.is_none() ? py::object(py::str("")) : value.attr("upper")();
}

// "Direccion", the street part of the registered address, cut before the town; an address
// abroad (not opening with España) also leaves no country.
void cut_street(py::dict &data, const py::object &domicilio) {
    py::str direccion = code_points(domicilio, STREET_FROM, STREET_TO);
    data["Direccion"] = direccion;
    if (py::len(direccion) == 0) return;
    py::str poblacion = data["Poblacion"];
    py::str spain(SPAIN);
    if (!lower(code_points(domicilio, std::nullopt, static_cast<py::ssize_t>(py::len(spain)))).equal(spain)) {
        // The locality as the page writes it, upper-cased, so the cut is case-sensitive here.
        data["Direccion"] = code_points(direccion, std::nullopt, position(direccion, poblacion));
        data["Pais"] = py::str("");
        return;
    }
    // The street ends before ", <town>", in whatever case either is written.
    data["Direccion"] =
        code_points(direccion, std::nullopt, position(lower(direccion), lower(py::str(", ") + poblacion)));
}

// Turns the page's labels into the fields the contact form uses; the page's own labels stay.
void normalise(py::dict &data, const py::object &address, const py::object &que) {
    data["webeinform"] = address;
    if (page_value(data, "Razón Social").is_none()) data["Razón Social"] = que;
    data["Poblacion"] = upper_or_empty(page_value(data, "Localidad"));
    data["Provincia"] = upper_or_empty(page_value(data, "Provincia"));
    data["Codpost"] = or_empty(page_value(data, "Código postal"));
    data["Cif"] = or_empty(page_value(data, "CIF"));
    data["Email"] = or_empty(page_value(data, "Email"));
    data["Pais"] = py::str("España");
    py::object domicilio = page_value(data, "Domicilio Social");
    if (domicilio.is_none())
        data["Direccion"] = py::str("");
    else
        cut_street(data, domicilio);
}

// The sheet read off the GUI thread, as the worker hands it over: (data, found, complete).
py::object sheet_of(const py::object &page) {
    Sheet sheet = read_sheet(page.attr("html").cast<HTML &>());
    return py::make_tuple(sheet.data, sheet.found, sheet.complete);
}

}  // namespace

// The user is told whenever the data could not be read or was read only in part.
py::dict read_company(const py::object &address, const py::object &que) {
    py::object read;
    switch (fetch_off_gui_thread(address, sheet_of, read)) {
        case Fetched::read:
            break;
        case Fetched::missing:
            tell_unreadable();
            return py::dict();
        case Fetched::failed:
        case Fetched::given_up:
            return py::dict();
    }
    py::dict data = read[py::int_(0)];
    if (!read[py::int_(1)].cast<bool>()) {
        tell_unreadable();
        return py::dict();
    }
    normalise(data, address, que);
    if (!read[py::int_(2)].cast<bool>()) tell_unreadable();
    return data;
}
