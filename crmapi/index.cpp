// The contact index. Holded's filters compare the stored text exactly, and offices store numbers
// however they were typed, so a caller is found by the canonical form of every number of every
// contact, read once from the whole contact list and kept here. It also keeps each contact's
// e-mail and tax id, for the check against duplicates before a contact is created.
//
// The index is built on a background thread while the tray goes on; everything shared lives in
// plain C++ behind one mutex, which is never held while Python runs (the GIL may be handed over
// then, and a thread waiting for the mutex with the GIL would stop both).
#include "crmapi.hpp"
#include "clock.hpp"
#include "failure.hpp"
#include "text.hpp"
#include "services.hpp"
#include "settings_file.hpp"

#include <algorithm>
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

// Fewer digits than this make no telephone number of any country.
constexpr std::size_t MIN_NUMBER_DIGITS = 7;
// The contacts of a full page of v1 (its pages have a fixed size): an empty page after a full
// one may end the list or be a page lost on the way, which a page shorter than this cannot be.
constexpr std::size_t V1_FULL_PAGE = 500;
// Seconds before a failed build is tried again.
constexpr double RETRY_SECONDS = 300;

// What the index gives back of a contact; the rest is looked up in Holded when needed.
struct Contact {
    std::string id, name;
    std::string folded;  // the name as a search by name compares it (search_form)
};

// What a duplicate shares with the contact about to be created.
enum Match : unsigned { NUMBER = 1, EMAIL = 2, TAX_ID = 4 };

// Key -> position of a contact. Most keys belong to one contact, so one node per pair keeps the
// index small (an index of 10,000 contacts is a few MB).
using Keyed = std::unordered_multimap<std::string, std::uint32_t>;

// What a contact is found by.
struct Keys {
    std::vector<std::string> numbers;  // canonical
    std::vector<std::string> emails;   // each address of the field, as compared
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
    for (const std::string &email : entry.keys.emails) add_key(book.by_email, email, position);
    for (const std::string &tax_id : entry.keys.tax_ids) add_key(book.by_tax_id, tax_id, position);
}

// --- reading a contact ------------------------------------------------------------------------

// How a record was read: whole, with a field mended or left out, or not at all.
enum class Reading { whole, mended, skipped };

// What a build could not read as Holded sent it, told in one line at its end.
struct Tally {
    std::size_t skipped = 0, mended = 0;

    void count(Reading reading) {
        if (reading == Reading::skipped) ++skipped;
        if (reading == Reading::mended) ++mended;
    }
};

// A text whose lone surrogates (half a character, which JSON's escapes can carry) are each
// replaced by U+FFFD, so that it can be read as UTF-8; `mended` tells that one was.
py::str whole_text(const py::handle &text, bool &mended) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text.ptr(), &size) != nullptr) return py::reinterpret_borrow<py::str>(text);
    py::error_already_set failure;
    if (!failure.matches(PyExc_UnicodeEncodeError)) throw failure;
    mended = true;
    return pymod("re").attr("sub")("[\\ud800-\\udfff]", "\xEF\xBF\xBD", text);
}

// A field as a text: a text as it is (made whole), a whole number as its digits; None for
// nothing, and for a value that is no text at all (a list, a mapping, true or false), which is
// left out as mended.
py::object field_text(const py::handle &value, bool &mended) {
    if (value.is_none()) return py::none();
    if (py::isinstance<py::str>(value)) return whole_text(value, mended);
    if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) return py::str(value);
    if (py::isinstance<py::float_>(value)) {
        double number = value.cast<double>();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e16)
            return py::str(py::int_(py::reinterpret_borrow<py::object>(value)));
    }
    mended = true;
    return py::none();
}

std::string utf8_of(const py::object &text) { return text.is_none() ? std::string() : text.cast<std::string>(); }

void add_once(std::vector<std::string> &keys, std::string key) {
    if (!key.empty() && std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(std::move(key));
}

// The canonical form of a text that holds one number; empty when it holds none.
std::string canonical_text(const py::str &written, const std::string &region) {
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
    // Possible (its length fits its country), not only valid: a range opened after the number
    // data was made, or one it does not list, is still the same digits on both sides.
    if (!py::bool_(phonenumbers.attr("is_possible_number")(parsed))) return std::string();
    return phonenumbers.attr("format_number")(parsed, phonenumbers.attr("PhoneNumberFormat").attr("E164"))
        .cast<std::string>();
}

// Every number a phone field holds: one number written in any usual way, or several with
// words between them ("612 34 56 78 (móvil)", "912 345 678 / 699 112 233").
void add_numbers(std::vector<std::string> &keys, const py::object &field, const std::string &region) {
    if (field.is_none()) return;
    py::str written(field);
    std::string one = canonical_text(written, region);
    if (!one.empty()) {
        add_once(keys, std::move(one));
        return;
    }
    std::string raw = written.cast<std::string>();
    if (text::ascii_digits(raw).size() < MIN_NUMBER_DIGITS && text::code_points(raw) == raw.size()) return;
    py::object phonenumbers = pymod("phonenumbers");
    py::object e164 = phonenumbers.attr("PhoneNumberFormat").attr("E164");
    py::object possible = phonenumbers.attr("Leniency").attr("POSSIBLE");
    for (py::handle match : phonenumbers.attr("PhoneNumberMatcher")(written, region, "leniency"_a = possible))
        add_once(keys, phonenumbers.attr("format_number")(match.attr("number"), e164).cast<std::string>());
}

// The e-mail keys of a field: each address it holds ("a@x.es, b@y.es", "Ana <a@x.es>"), without
// blanks, in lower case (Python's rules, as an address may hold more than ASCII); a field that
// names no address is one key as it stands.
std::vector<std::string> email_keys(const py::object &field) {
    std::vector<std::string> keys;
    if (field.is_none()) return keys;
    py::str written(field);
    std::string raw = written.cast<std::string>();
    if (raw.find_first_of(",;<") != std::string::npos) {
        py::list fields;
        fields.append(written.attr("replace")(";", ","));
        for (py::handle pair : pymod("email.utils").attr("getaddresses")(fields)) {
            py::str address = pair[py::int_(1)];
            if (py::bool_(address.attr("__contains__")("@")))
                add_once(keys, address.attr("strip")().attr("lower")().cast<std::string>());
        }
        if (!keys.empty()) return keys;
    }
    add_once(keys, written.attr("strip")().attr("lower")().cast<std::string>());
    return keys;
}

std::string tax_key(const py::object &field) {
    return field.is_none() ? std::string() : text::tax_id_key(utf8_of(field));
}

// A text as a search by name compares it: without accents, in Python's case folding, so that
// "munoz" finds "Muñoz".
std::string search_form(const py::str &text) {
    py::object unicodedata = pymod("unicodedata");
    py::list kept;
    for (py::handle ch : unicodedata.attr("normalize")("NFKD", text))
        if (unicodedata.attr("combining")(ch).cast<int>() == 0) kept.append(ch);
    return py::str("").attr("join")(kept).attr("casefold")().cast<std::string>();
}

Reading read_fields(const py::handle &record, const std::string &region, Entry &entry) {
    if (!py::isinstance<py::dict>(record)) return Reading::skipped;
    bool mended = false;
    auto field = [&](const py::handle &from, const char *name) { return field_text(from.attr("get")(name), mended); };
    entry.contact.id = utf8_of(field(record, "id"));
    if (entry.contact.id.empty() || mended) return Reading::skipped;  // no page to open
    py::object name = field(record, "name");
    entry.contact.name = utf8_of(name);
    entry.contact.folded = name.is_none() ? std::string() : search_form(name);

    Keys &keys = entry.keys;
    add_numbers(keys.numbers, field(record, "phone"), region);
    add_numbers(keys.numbers, field(record, "mobile"), region);
    py::object persons = record.attr("get")("contactPersons");
    if (py::isinstance<py::list>(persons))
        for (py::handle person : persons)
            if (py::isinstance<py::dict>(person)) add_numbers(keys.numbers, field(person, "phone"), region);
    keys.emails = email_keys(field(record, "email"));
    add_once(keys.tax_ids, tax_key(field(record, "code")));
    add_once(keys.tax_ids, tax_key(field(record, "vatnumber")));
    return mended ? Reading::mended : Reading::whole;
}

// Reads a record into `entry`; one that cannot be read at all is skipped, never fatal.
Reading read_contact(const py::handle &record, const std::string &region, Entry &entry) {
    try {
        return read_fields(record, region, entry);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const py::builtin_exception &) {
        // A value the conversion to C++ could not take.
    }
    entry = Entry();
    return Reading::skipped;
}

py::dict as_record(const Contact &contact) { return py::dict("id"_a = contact.id, "name"_a = contact.name); }

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
    double hours() const { return hours_; }
    const std::string &region() const { return region_; }

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
    py::list find_names(const py::str &text, std::size_t limit) const;
    py::list duplicates(const py::object &number, const py::object &email, const py::object &tax_id) const;
    void add(const py::object &record);
    void clear();

    // The index as plain lists, to be kept: [id, name, numbers, e-mails, tax ids] per contact;
    // and an index kept before, read at `read_at` (seconds since the epoch), taken as the one in
    // use (its age counts from then).
    py::list export_entries() const;
    void import_entries(const py::list &entries, double read_at);

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

// How long a listing may be before it is taken for one that never ends (crmapi.INDEX_MAX_PAGES
// and INDEX_MAX_CONTACTS, read at each build).
struct Limits {
    std::size_t pages = pymod("crmapi").attr("INDEX_MAX_PAGES").cast<std::size_t>();
    std::size_t contacts = pymod("crmapi").attr("INDEX_MAX_CONTACTS").cast<std::size_t>();
};

[[noreturn]] void give_up_endless(const Limits &limits) {
    raise_user_error(py::str(tr("Holded no termina la lista de contactos (más de {0} páginas o {1} contactos)"))
                         .format(limits.pages, limits.contacts)
                         .cast<std::string>());
}

// Puts the readable records of a page into the book; the number of contacts not seen before.
std::size_t take_page(const ContactPage &page, const std::string &region, Book &book,
                      std::unordered_set<std::string> &seen, Tally &tally, const Limits &limits) {
    std::size_t fresh = 0;
    for (py::handle record : page.records) {
        Entry entry;
        Reading reading = read_contact(record, region, entry);
        tally.count(reading);
        if (reading == Reading::skipped) continue;
        if (seen.insert(entry.contact.id).second) ++fresh;
        upsert(book, std::move(entry));
    }
    if (book.contacts.size() > limits.contacts) give_up_endless(limits);
    return fresh;
}

// Whether a v1 listing that stops at this page ended as Holded ends one: a page shorter than a
// full one that comes after contacts (an empty page after a full one may be a lost page).
bool v1_ended(std::size_t count, std::size_t longest, std::size_t previous) {
    if (count > 0) return count < longest;
    return previous > 0 && previous < V1_FULL_PAGE;
}

// Reads the whole contact list into `book`, page after page, until the service says it was the
// last page, a page comes back empty or shorter than the others, or a page brings no contact
// not seen before (a service that ignores the page asked for answers the same page again).
// Returns whether the listing ended as Holded ends one; gives up on a listing past its Limits.
bool read_contact_list(const py::object &client, const std::string &region, Book &book, Tally &tally) {
    const Limits limits;
    std::unordered_set<std::string> seen;
    PageCursor at;
    std::size_t longest = 0, previous = 0;
    Clock::time_point last_request{};
    for (std::size_t pages = 0;; ++pages) {
        if (pages >= limits.pages) give_up_endless(limits);
        if (pages > 0) wait_for_the_gap(last_request);
        last_request = Clock::now();
        ContactPage page = contact_page(client, at);
        std::size_t fresh = take_page(page, region, book, seen, tally, limits);
        std::size_t count = py::len(page.records);
        if (page.sized && (count == 0 || count < longest)) return v1_ended(count, longest, previous);
        if (!page.more) return page.last;
        if (count == 0 || fresh == 0) return false;
        longest = std::max(longest, count);
        previous = count;
        at = page.next;
    }
}

// Tells in one line what a build could not read as Holded sent it.
void tell_unreadable(const Tally &tally) {
    if (tally.skipped == 0 && tally.mended == 0) return;
    py::print(py::str(tr("Indice de contactos: {0} contactos ilegibles omitidos y {1} reparados"))
                  .format(tally.skipped, tally.mended),
              "flush"_a = true);
}

// A listing cut short (a page lost on the way, an odd answer) must not shrink a good index: when
// it did not end as Holded ends one, or left contacts out, and holds less than half the index,
// the build fails and the index is kept.
void refuse_cut_short(std::size_t read, bool whole, std::size_t kept) {
    if (whole || read * 2 >= kept) return;
    raise_user_error(
        py::str(tr("Holded ha dado {0} contactos de los {1} del índice sin terminar la lista; se conserva el índice "
                   "anterior"))
            .format(read, kept)
            .cast<std::string>());
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
        Tally tally;
        bool ended = read_contact_list(client_, region_, *book, tally);
        tell_unreadable(tally);
        refuse_cut_short(book->contacts.size(), ended && tally.skipped == 0, size());
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
        // However small the hours set, a rebuild waits a few minutes after the last one.
        double age_limit = std::max(hours_ * 3600, pymod("crmapi").attr("INDEX_MIN_SECONDS").cast<double>());
        if (book_ && seconds_since(built_at_) < age_limit) return false;
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
    bool mended = false;
    std::vector<std::string> emails_wanted =
        py::isinstance<py::str>(email) ? email_keys(whole_text(email, mended)) : std::vector<std::string>();
    std::string tax_wanted = py::isinstance<py::str>(tax_id) ? tax_key(whole_text(tax_id, mended)) : std::string();
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
        for (const std::string &email_wanted : emails_wanted) mark(book_->by_email, email_wanted, EMAIL);
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
    Entry entry;
    if (read_contact(record, region_, entry) == Reading::skipped) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (building_ > 0) added_.push_back(Added{++sequence_, entry});
    if (book_) upsert(*book_, std::move(entry));
}

py::list ContactIndex::find_names(const py::str &text, std::size_t limit) const {
    std::string wanted = search_form(text);
    std::vector<Contact> contacts;
    if (!wanted.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (book_)
            for (const Contact &contact : book_->contacts) {
                if (contact.folded.find(wanted) == std::string::npos) continue;
                contacts.push_back(contact);
                if (contacts.size() == limit) break;
            }
    }
    py::list found;
    for (const Contact &contact : contacts) found.append(as_record(contact));
    return found;
}

// The keys of every position of a book, gathered from its maps (a contact keeps none itself).
std::vector<Keys> keys_by_position(const Book &book) {
    std::vector<Keys> keys(book.contacts.size());
    for (const auto &[key, position] : book.by_number) keys[position].numbers.push_back(key);
    for (const auto &[key, position] : book.by_email) keys[position].emails.push_back(key);
    for (const auto &[key, position] : book.by_tax_id) keys[position].tax_ids.push_back(key);
    return keys;
}

py::list ContactIndex::export_entries() const {
    std::vector<Contact> contacts;
    std::vector<Keys> keys;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!book_) return py::list();
        contacts = book_->contacts;
        keys = keys_by_position(*book_);
    }
    py::list entries;
    for (std::size_t i = 0; i < contacts.size(); ++i)
        entries.append(make_list(contacts[i].id, contacts[i].name, py::cast(keys[i].numbers), py::cast(keys[i].emails),
                                 py::cast(keys[i].tax_ids)));
    return entries;
}

void ContactIndex::import_entries(const py::list &entries, double read_at) {
    auto book = std::make_unique<Book>();
    for (py::handle item : entries) {
        py::list fields = py::reinterpret_borrow<py::list>(item);
        Entry entry;
        entry.contact.id = fields[0].cast<std::string>();
        entry.contact.name = fields[1].cast<std::string>();
        entry.contact.folded = search_form(fields[1]);
        entry.keys = Keys{fields[2].cast<std::vector<std::string>>(), fields[3].cast<std::vector<std::string>>(),
                          fields[4].cast<std::vector<std::string>>()};
        upsert(*book, std::move(entry));
    }
    double age = std::max(0.0, pymod("time").attr("time")().cast<double>() - read_at);
    std::lock_guard<std::mutex> lock(mutex_);
    book_ = std::move(book);
    built_at_ = seconds_from_now(-age);
    read_wall_ = static_cast<std::time_t>(read_at);
    failed_ = false;
}

void ContactIndex::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    book_.reset();
    added_.clear();
    ++generation_;
    failed_ = false;
}

// A build on a background thread, already reserved; a failure is told in one line on standard
// output, whatever it was, and tried again later.
void build_in_background(const std::shared_ptr<ContactIndex> &index) {
    py::str cause;
    try {
        index->build(true);
        return;
    } catch (py::error_already_set &e) {
        cause = failure_text(e.value());
    } catch (const std::exception &e) {
        cause = py::str(e.what());
    }
    py::print(py::str(tr("Indice de contactos sin actualizar: ")) + cause, "flush"_a = true);
}

// The index's revisar(): a build in the background when one is due.
bool start_background_build(const std::shared_ptr<ContactIndex> &index, bool force) {
    if (!index->reserve(force)) return false;
    auto body = [index] { build_in_background(index); };
    try {
        start_daemon(py::cpp_function(body), "contact-index");
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
    bool mended = false;
    return canonical_text(whole_text(written, mended), region);
}

namespace {

// The index's settings, read at each use so that they can be tuned without a rebuild.
void publish_settings(py::module_ &m) {
    // Seconds between the starts of two requests of an index build (100 a minute at most).
    m.attr("INDEX_REQUEST_GAP") = 0.6;
    // Seconds a rebuild waits after the last one, however small the index's hours.
    m.attr("INDEX_MIN_SECONDS") = 300;
    // A listing longer than this is taken for one that never ends: it is given up, and the index
    // it had is kept.
    m.attr("INDEX_MAX_PAGES") = 2000;
    m.attr("INDEX_MAX_CONTACTS") = 200000;
}

// The index as Python sees it: crmapi.indice.
void register_index_class(py::module_ &m) {
    py::class_<ContactIndex, std::shared_ptr<ContactIndex>>(
        m, "indice",
        "The contact index of a client: every contact's numbers (canonical), e-mail and tax id.\n"
        "listo is true once a build has completed; actualizar() builds now; buscar(numero) gives\n"
        "the contacts with that number in any format; revisar() starts a background build when due.")
        .def(py::init([](py::object client, const py::object &pais, py::object horas) {
                 return std::make_shared<ContactIndex>(std::move(client), office_region(pais), index_hours(horas));
             }),
             "cliente"_a, "pais"_a = DEFAULT_REGION, "horas"_a = DEFAULT_INDEX_HOURS_TEXT)
        .def_property_readonly("listo", &ContactIndex::ready, "True once a build has completed.")
        .def_property_readonly("activo", &ContactIndex::enabled, "False when the settings turn the index off.")
        .def_property_readonly("leyendo", &ContactIndex::building, "True while the contact list is being read.")
        .def_property_readonly("horas", &ContactIndex::hours, "Hours after which the index is read again.")
        .def_property_readonly("pais", &ContactIndex::region, "The region of the numbers written without prefix.")
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
        .def("nombres", &ContactIndex::find_names, "texto"_a, "limite"_a = 20,
             "The contacts (dicts with id and name) whose name holds the text, accents and case aside.")
        .def("exportar", &ContactIndex::export_entries,
             "The index as lists to be kept: [id, name, numbers, e-mails, tax ids] per contact; [] before a build.")
        .def("importar", &ContactIndex::import_entries, "entradas"_a, "leido"_a,
             "Takes an index exported before, read at `leido` (seconds since the epoch), as the one in use.")
        .def("agregar", &ContactIndex::add, "contacto"_a,
             "Puts a contact record (v1 shape, with its id) into the index, replacing the one of the same id.")
        .def("vaciar", &ContactIndex::clear, "Forgets every contact (a new key may be another account).");
}

}  // namespace

void register_index(py::module_ &m) {
    publish_settings(m);

    m.def("numero_canonico", &numero_canonico, "texto"_a, "pais"_a = DEFAULT_REGION,
          "The E.164 form of a telephone number written in any usual way (national numbers taken as\n"
          "numbers of `pais`), or None when the text is no possible number (its length fits no number).");

    register_index_class(m);
}
