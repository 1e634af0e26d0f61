// The contact index. Holded's filters compare the stored text exactly, and offices store numbers
// however they were typed, so a caller is found by the canonical form of every number of every
// contact, read once from the whole contact list and kept here. It also keeps each contact's
// e-mail and tax id, for the check against duplicates before a contact is created.
//
// The index is built on a background thread while the tray goes on; everything shared lives in
// plain C++ behind one mutex, which is never held while Python runs (the GIL may be handed over
// then, and a thread waiting for the mutex with the GIL would stop both).
#include "crmapi.hpp"
#include "failure.hpp"
#include "text.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Fewer digits than this make no telephone number of any country.
constexpr std::size_t MIN_NUMBER_DIGITS = 7;
// A page listing that repeats itself this often is not going anywhere.
constexpr int MAX_PAGES = 10000;
// Seconds before a failed build is tried again.
constexpr double RETRY_SECONDS = 300;

// What the index gives back of a contact; the rest is looked up in Holded when needed.
struct Contact {
    std::string id, name;
};

// What a duplicate shares with the contact about to be created.
enum Match : unsigned { NUMBER = 1, EMAIL = 2, TAX_ID = 4 };

// Key -> position of a contact. Most keys belong to one contact, so one node per pair keeps the
// index small (an index of 10,000 contacts is a few MB).
using Keyed = std::unordered_multimap<std::string, std::uint32_t>;

// What a contact is found by.
struct Keys {
    std::vector<std::string> numbers;  // canonical
    std::string email;
    std::vector<std::string> tax_ids;  // code and VAT number, as compared
};

// A contact as it is read, with the keys it is found by.
struct Entry {
    Contact contact;
    Keys keys;
};

// One reading of the contact list, with what is looked up in it.
struct Book {
    std::vector<Contact> contacts;
    std::unordered_map<std::string, std::uint32_t> by_id;
    Keyed by_number, by_email, by_tax_id;
};

void add_key(Keyed &keyed, const std::string &key, std::uint32_t position) {
    if (key.empty()) return;
    auto [first, last] = keyed.equal_range(key);
    for (auto it = first; it != last; ++it)
        if (it->second == position) return;
    keyed.emplace(key, position);
}

void drop_position(Keyed &keyed, std::uint32_t position) {
    for (auto it = keyed.begin(); it != keyed.end();) it = it->second == position ? keyed.erase(it) : std::next(it);
}

// Puts an entry in the book, replacing the contact of the same id. A replacement is rare (a
// contact changed in Holded since the index was read), so the old keys are found by a scan
// rather than kept for every contact.
void upsert(Book &book, Entry entry) {
    std::uint32_t position;
    auto known = book.by_id.find(entry.contact.id);
    if (known != book.by_id.end()) {
        position = known->second;
        for (Keyed *keyed : {&book.by_number, &book.by_email, &book.by_tax_id}) drop_position(*keyed, position);
        book.contacts[position] = std::move(entry.contact);
    } else {
        position = static_cast<std::uint32_t>(book.contacts.size());
        book.by_id.emplace(entry.contact.id, position);
        book.contacts.push_back(std::move(entry.contact));
    }
    for (const std::string &number : entry.keys.numbers) add_key(book.by_number, number, position);
    add_key(book.by_email, entry.keys.email, position);
    for (const std::string &tax_id : entry.keys.tax_ids) add_key(book.by_tax_id, tax_id, position);
}

// --- reading a contact ------------------------------------------------------------------------

std::string text_field(const py::handle &record, const char *name) {
    py::object value = record.attr("get")(name);
    if (value.is_none()) return std::string();
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    return py::str(value).cast<std::string>();
}

// An e-mail as it is compared: without surrounding blanks, in lower case (Python's rules, as an
// address may hold more than ASCII).
std::string email_key(const py::handle &text) {
    if (!py::isinstance<py::str>(text)) return std::string();
    return py::str(text).attr("strip")().attr("lower")().cast<std::string>();
}

void add_once(std::vector<std::string> &keys, std::string key) {
    if (!key.empty() && std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(std::move(key));
}

Entry read_contact(const py::handle &record, const std::string &region) {
    Entry entry;
    entry.contact.id = text_field(record, "id");
    entry.contact.name = text_field(record, "name");
    std::string code = text_field(record, "code"), vat = text_field(record, "vatnumber");

    Keys &keys = entry.keys;
    add_once(keys.numbers, canonical_number(record.attr("get")("phone"), region));
    add_once(keys.numbers, canonical_number(record.attr("get")("mobile"), region));
    py::object persons = record.attr("get")("contactPersons");
    if (py::isinstance<py::list>(persons))
        for (py::handle person : persons)
            if (py::isinstance<py::dict>(person))
                add_once(keys.numbers, canonical_number(person.attr("get")("phone"), region));
    keys.email = email_key(record.attr("get")("email"));
    add_once(keys.tax_ids, text::tax_id_key(code));
    add_once(keys.tax_ids, text::tax_id_key(vat));
    return entry;
}

py::dict as_record(const Contact &contact) { return py::dict("id"_a = contact.id, "name"_a = contact.name); }

double seconds_since(Clock::time_point then) { return std::chrono::duration<double>(Clock::now() - then).count(); }

// --- the index --------------------------------------------------------------------------------

class ContactIndex {
public:
    ContactIndex(py::object client, std::string region, double hours)
        : client_(std::move(client)), region_(std::move(region)), hours_(hours) {}

    bool ready() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return book_ != nullptr;
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return book_ ? book_->contacts.size() : 0;
    }

    bool enabled() const { return hours_ > 0; }

    bool building() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return building_ > 0;
    }

    // When the index now in use was read (seconds since the epoch); None before the first read.
    py::object read_at() const {
        std::time_t when;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!book_) return py::none();
            when = read_wall_;
        }
        return py::float_(static_cast<double>(when));
    }

    // Reads the whole contact list now, in the calling thread; the number of contacts read.
    // Raises when it cannot, keeping the index it had. `reserved`: reserve() has counted this
    // build already.
    std::size_t build(bool reserved = false);

    // Whether a build is due (never built, older than its hours, or failed long enough ago);
    // when it is, the build is counted as running from now on, and the caller must start it
    // (or give the reservation back).
    bool reserve(bool force);
    void unreserve() {
        std::lock_guard<std::mutex> lock(mutex_);
        --building_;
    }

    py::list find(const py::object &number) const;
    py::list duplicates(const py::object &number, const py::object &email, const py::object &tax_id) const;
    void add(const py::object &record);
    void clear();

private:
    struct Added {
        std::uint64_t sequence;
        Entry entry;
    };

    std::vector<std::uint32_t> positions_of(const Keyed &keyed, const std::string &key) const;

    py::object client_;
    std::string region_;
    double hours_;

    mutable std::mutex mutex_;
    std::unique_ptr<Book> book_;
    Clock::time_point built_at_{};
    std::time_t read_wall_ = 0;
    Clock::time_point failed_at_{};
    bool failed_ = false;
    int building_ = 0;
    // Contacts added while a build reads the list, to be put into the book it makes.
    std::vector<Added> added_;
    std::uint64_t sequence_ = 0;
    // Counts the times the index was emptied, so that a build begun before is not kept.
    std::uint64_t generation_ = 0;
};

// Holded allows 100 requests a minute: the requests of a build are spaced to stay below.
void wait_for_the_gap(Clock::time_point last_request) {
    double wait = pymod("crmapi").attr("INDEX_REQUEST_GAP").cast<double>() - seconds_since(last_request);
    if (wait <= 0) return;
    py::gil_scoped_release released;
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

// Reads the whole contact list into `book`, page after page, until the service says it was the
// last page, a page comes back empty or shorter than the others, or a page brings no contact
// not seen before (a service that ignores the page asked for answers the same page again).
void read_contact_list(const py::object &client, const std::string &region, Book &book) {
    std::unordered_set<std::string> seen;
    PageCursor at;
    std::size_t longest = 0;
    Clock::time_point last_request{};
    for (int pages = 0; pages < MAX_PAGES; ++pages) {
        if (pages > 0) wait_for_the_gap(last_request);
        last_request = Clock::now();
        ContactPage page = contact_page(client, at);
        std::size_t fresh = 0;
        for (py::handle record : page.records) {
            if (!py::isinstance<py::dict>(record)) continue;
            Entry entry = read_contact(record, region);
            if (entry.contact.id.empty()) continue;  // nothing to open
            if (seen.insert(entry.contact.id).second) ++fresh;
            upsert(book, std::move(entry));
        }
        std::size_t count = py::len(page.records);
        if (!page.more || count == 0 || fresh == 0 || (page.sized && count < longest)) return;
        longest = std::max(longest, count);
        at = page.next;
    }
}

std::size_t ContactIndex::build(bool reserved) {
    std::uint64_t started, generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reserved) ++building_;
        started = sequence_;
        generation = generation_;
    }
    auto book = std::make_unique<Book>();
    try {
        read_contact_list(client_, region_, *book);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        --building_;
        failed_ = true;
        failed_at_ = Clock::now();
        throw;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = book->contacts.size();
    --building_;
    // Emptied meanwhile (a new key, perhaps another account): what was read is not kept.
    if (generation != generation_) return count;
    for (Added &added : added_)
        if (added.sequence > started) upsert(*book, added.entry);
    if (building_ == 0) added_.clear();
    book_ = std::move(book);
    built_at_ = Clock::now();
    read_wall_ = std::time(nullptr);
    failed_ = false;
    return count;
}

bool ContactIndex::reserve(bool force) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled() || building_ > 0) return false;
    if (!force) {
        if (failed_ && seconds_since(failed_at_) < RETRY_SECONDS) return false;
        if (book_ && seconds_since(built_at_) < hours_ * 3600) return false;
    }
    ++building_;
    return true;
}

std::vector<std::uint32_t> ContactIndex::positions_of(const Keyed &keyed, const std::string &key) const {
    std::vector<std::uint32_t> positions;
    auto [first, last] = keyed.equal_range(key);
    for (auto it = first; it != last; ++it) positions.push_back(it->second);
    // In the order the contacts were read, as Holded lists them.
    std::sort(positions.begin(), positions.end());
    return positions;
}

py::list ContactIndex::find(const py::object &number) const {
    py::list found;
    std::string key = canonical_number(number, region_);
    if (key.empty()) return found;
    std::vector<Contact> contacts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!book_) return found;
        for (std::uint32_t position : positions_of(book_->by_number, key))
            contacts.push_back(book_->contacts[position]);
    }
    for (const Contact &contact : contacts) found.append(as_record(contact));
    return found;
}

py::list ContactIndex::duplicates(const py::object &number, const py::object &email, const py::object &tax_id) const {
    std::string number_key = number.is_none() ? std::string() : canonical_number(number, region_);
    std::string email_wanted = email_key(email);
    std::string tax_wanted =
        py::isinstance<py::str>(tax_id) ? text::tax_id_key(tax_id.cast<std::string>()) : std::string();
    std::vector<std::pair<Contact, unsigned>> matches;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!book_) return py::list();
        std::vector<std::pair<std::uint32_t, unsigned>> hits;
        auto mark = [&](const Keyed &keyed, const std::string &key, Match what) {
            if (key.empty()) return;
            for (std::uint32_t position : positions_of(keyed, key)) {
                auto known =
                    std::find_if(hits.begin(), hits.end(), [&](const auto &hit) { return hit.first == position; });
                if (known == hits.end())
                    hits.emplace_back(position, what);
                else
                    known->second |= what;
            }
        };
        mark(book_->by_number, number_key, NUMBER);
        mark(book_->by_email, email_wanted, EMAIL);
        mark(book_->by_tax_id, tax_wanted, TAX_ID);
        for (const auto &hit : hits) matches.emplace_back(book_->contacts[hit.first], hit.second);
    }
    py::list found;
    for (const auto &[contact, what] : matches) {
        py::list shared;
        if (what & NUMBER) shared.append("telefono");
        if (what & EMAIL) shared.append("email");
        if (what & TAX_ID) shared.append("nif");
        found.append(py::dict("contacto"_a = as_record(contact), "coincide"_a = shared));
    }
    return found;
}

void ContactIndex::add(const py::object &record) {
    if (!py::isinstance<py::dict>(record)) return;
    Entry entry = read_contact(record, region_);
    if (entry.contact.id.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (building_ > 0) added_.push_back(Added{++sequence_, entry});
    if (book_) upsert(*book_, std::move(entry));
}

void ContactIndex::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    book_.reset();
    added_.clear();
    ++generation_;
    failed_ = false;
}

// A build on a background thread, already reserved; a failure is told in one line on standard
// output and tried again later.
void build_in_background(const std::shared_ptr<ContactIndex> &index) {
    try {
        index->build(true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(py::str(tr("Indice de contactos sin actualizar: ")) + failure_text(e.value()), "flush"_a = true);
    }
}

// The index's revisar(): a build in the background when one is due.
bool start_background_build(const std::shared_ptr<ContactIndex> &index, bool force) {
    if (!index->reserve(force)) return false;
    auto body = [index] { build_in_background(index); };
    try {
        pymod("threading")
            .attr("Thread")("target"_a = py::cpp_function(body), "name"_a = "contact-index", "daemon"_a = true)
            .attr("start")();
    } catch (...) {
        index->unreserve();
        throw;
    }
    return true;
}

py::object numero_canonico(const py::object &texto, const std::string &pais) {
    std::string number = canonical_number(texto, pais);
    if (number.empty()) return py::none();
    return py::str(number);
}

}  // namespace

std::string canonical_number(const py::handle &written, const std::string &region) {
    if (!py::isinstance<py::str>(written)) return std::string();
    std::string raw = written.cast<std::string>();
    // Most numbers a book holds are ASCII: those too short to be a number need no parsing.
    bool ascii = text::code_points(raw) == raw.size();
    if (ascii && text::ascii_digits(raw).size() < MIN_NUMBER_DIGITS) return std::string();
    py::object phonenumbers = pymod("phonenumbers");
    py::object parsed;
    try {
        parsed = phonenumbers.attr("parse")(written, region);
    } catch (py::error_already_set &e) {
        if (!e.matches(phonenumbers.attr("NumberParseException"))) throw;
        return std::string();
    }
    if (!py::bool_(phonenumbers.attr("is_valid_number")(parsed))) return std::string();
    return phonenumbers.attr("format_number")(parsed, phonenumbers.attr("PhoneNumberFormat").attr("E164"))
        .cast<std::string>();
}

void register_index(py::module_ &m) {
    // Seconds between the starts of two requests of an index build (100 a minute at most).
    m.attr("INDEX_REQUEST_GAP") = 0.6;

    m.def("numero_canonico", &numero_canonico, "texto"_a, "pais"_a = "ES",
          "The E.164 form of a telephone number written in any usual way (national numbers taken as\n"
          "numbers of `pais`), or None when the text is no valid number.");

    py::class_<ContactIndex, std::shared_ptr<ContactIndex>>(
        m, "indice",
        "The contact index of a client: every contact's numbers (canonical), e-mail and tax id.\n"
        "listo is true once a build has completed; actualizar() builds now; buscar(numero) gives\n"
        "the contacts with that number in any format; revisar() starts a background build when due.")
        .def(py::init([](py::object client, std::string pais, py::object horas) {
                 return std::make_shared<ContactIndex>(std::move(client), std::move(pais), index_hours(horas));
             }),
             "cliente"_a, "pais"_a = "ES", "horas"_a = 8)
        .def_property_readonly("listo", &ContactIndex::ready, "True once a build has completed.")
        .def_property_readonly("activo", &ContactIndex::enabled, "False when the settings turn the index off.")
        .def_property_readonly("leyendo", &ContactIndex::building, "True while the contact list is being read.")
        .def_property_readonly("leido", &ContactIndex::read_at,
                               "When the index in use was read (seconds since the epoch); None before the first read.")
        .def("__len__", &ContactIndex::size)
        .def(
            "actualizar", [](ContactIndex &self) { return self.build(); },
            "Reads the whole contact list now, in the calling thread; returns the number of contacts read.\n"
            "Raises when the list cannot be read, keeping the index it had.")
        .def("revisar", &start_background_build, "forzar"_a = false,
             "Starts a build in the background when one is due (never built, older than its hours, or a\n"
             "failure long enough ago); True when it started one. Never waits for the network.")
        .def("buscar", &ContactIndex::find, "numero"_a,
             "The contacts (dicts with id and name) whose phone, mobile or contact\n"
             "person's phone is this number in any format; [] when none or when nothing is built.")
        .def("duplicados", &ContactIndex::duplicates, "numero"_a = py::none(), "email"_a = py::none(),
             "nif"_a = py::none(),
             "The contacts that share the number, the e-mail or the tax id: a list of {\"contacto\": record,\n"
             "\"coincide\": [\"telefono\" | \"email\" | \"nif\", ...]}; [] when nothing is built.")
        .def("agregar", &ContactIndex::add, "contacto"_a,
             "Puts a contact record (v1 shape, with its id) into the index, replacing the one of the same id.")
        .def("vaciar", &ContactIndex::clear, "Forgets every contact (a new key may be another account).");
}
