#pragma once
#include "py.hpp"

// get_request, the page objects it hands back and the fetch's settings.
void register_pages(py::module_ &m);
// The function dirscrape: the search by name, the chooser among the results, the company's data.
void register_search(py::module_ &m);

// A page's text as get_request hands it back; Python sees every field but the tree.
struct HTML {
    py::object raw_html;  // the bytes as received
    py::object html;      // the text, decoded as decode_page (pages.cpp) tells
    py::object encoding;  // the codec it was decoded with
    py::object url;
    py::object tree;  // lxml's tree of the page (None for a page with no markup); unset until first asked for
};

// The page a fetch hands back.
struct Response {
    py::object status_code, url, headers, encoding;
    py::object html;    // an HTML
    py::object answer;  // requests' own response, which holds the connection until close()

    void close() const { answer.attr("close")(); }
};

// One element found in a page.
struct Element {
    py::object attrs;    // a dict of its attributes
    py::object element;  // the lxml element, whose `text` is the element's own leading text
};

// The page parsed by lxml, made once and kept on the page; None for a page with no markup.
py::object document(HTML &page);

// The page's lxml elements with this tag name, in document order.
py::list elements(HTML &page, const py::handle &tag);

// A directory page (a Response), or None when it cannot be had. The user is told that it could
// not be read, except when the page does not exist and `missing_is_failure` is false: a listing
// that does not exist only means that the directory has no such company.
py::object fetch_or_tell(const py::object &url, bool missing_is_failure);

// Tells the user that the directory's data could not be read, or not all of it.
void tell_unreadable();

// One GET of a directory page within REQUEST_TIMEOUT for the whole of it (redirects followed
// only on the directory's own host, no page longer than MAX_PAGE_BYTES): the page when the
// server answered 200, else None; `status` receives the status the server answered.
py::object fetch_page(const py::object &url, long &status);

// A page that does not exist (404, 410): for a listing, the directory has no such company. Any
// other answer but 200 (the site down, overloaded, refusing us, sending us elsewhere) means the
// page could not be had.
bool means_no_result(long status);

// How a directory page fetched off the GUI thread came out: read; not there (404, 410); failed
// (no connection, no answer in time, any other answer than 200: the user has been told); given
// up (the user closed the notice shown while waiting).
enum class Fetched { read, missing, failed, given_up };

// Fetches `url` with get_request on a thread of its own and hands the page to `read` there; the
// GUI thread meanwhile keeps the windows alive, with a modal notice when the wait is longer than
// a moment (NOTICE_DELAY seconds). `value` receives what `read` gave when the page was read.
Fetched fetch_off_gui_thread(const py::object &url, const std::function<py::object(const py::object &)> &read,
                             py::object &value);

// Reads the chosen company page into the flat dict the contact form fills itself from; {} when
// the page cannot be had at all. `que` stands in for a missing "Razón Social".
py::dict read_company(const py::object &address, const py::object &que);
