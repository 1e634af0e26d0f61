#include "v2.hpp"

#include <array>
#include <utility>

namespace v2 {
namespace {

using Names = std::pair<const char *, const char *>;  // {v2 name, v1 name}

// Fields whose names differ between the two APIs; every other field has the same name in both.
constexpr std::array<Names, 12> CONTACT_NAMES{{
    {"custom_id", "customId"},
    {"vat_number", "vatnumber"},
    {"trade_name", "tradeName"},
    {"is_person", "isperson"},
    {"bill_address", "billAddress"},
    {"contact_persons", "contactPersons"},
    {"social_networks", "socialNetworks"},
    {"custom_fields", "customFields"},
    {"shipping_addresses", "shippingAddresses"},
    {"extra_emails", "extraEmails"},
    {"created_at", "createdAt"},
    {"updated_at", "updatedAt"},
}};
constexpr std::array<Names, 2> ADDRESS_NAMES{{{"postal_code", "postalCode"}, {"country_code", "countryCode"}}};
constexpr std::array<Names, 1> PERSON_NAMES{{{"person_id", "personId"}}};
constexpr std::array<Names, 1> NOTE_NAMES{{{"note_id", "noteId"}}};

// What v2 takes when it creates or replaces a contact (besides the address and contact persons).
constexpr std::array<const char *, 12> WRITABLE{{"name", "code", "vat_number", "trade_name", "is_person", "email",
                                                 "phone", "mobile", "website", "type", "custom_fields", "defaults"}};
constexpr std::array<const char *, 7> ADDRESS_FIELDS{
    {"address", "city", "postal_code", "province", "country", "country_code", "info"}};
constexpr std::array<const char *, 5> CONTACT_TYPES{{"client", "debtor", "supplier", "creditor", "lead"}};

template <std::size_t N>
const char *v1_name(const std::array<Names, N> &names, const std::string &name) {
    for (const Names &pair : names)
        if (name == pair.first) return pair.second;
    return nullptr;
}

template <std::size_t N>
const char *v2_name(const std::array<Names, N> &names, const std::string &name) {
    for (const Names &pair : names)
        if (name == pair.second) return pair.first;
    return nullptr;
}

template <std::size_t N>
py::dict renamed(const py::handle &object, const std::array<Names, N> &names) {
    py::dict out;
    for (auto item : py::reinterpret_borrow<py::dict>(object)) {
        std::string name = py::str(item.first);
        const char *other = v1_name(names, name);
        out[other != nullptr ? py::str(other) : py::str(item.first)] = item.second;
    }
    return out;
}

template <std::size_t N>
py::list renamed_items(const py::handle &items, const std::array<Names, N> &names) {
    py::list out;
    for (py::handle item : items)
        out.append(py::isinstance<py::dict>(item) ? py::object(renamed(item, names))
                                                  : py::reinterpret_borrow<py::object>(item));
    return out;
}

bool has_text(const py::handle &value) { return py::isinstance<py::str>(value) && py::len(value) > 0; }

bool filled(const py::handle &value) {
    if (value.is_none()) return false;
    if (py::isinstance<py::str>(value) || py::isinstance<py::list>(value) || py::isinstance<py::dict>(value))
        return py::len(value) > 0;
    return true;
}

// A v1-shaped address as v2 writes it.
py::dict address_body(const py::handle &address) {
    py::dict out;
    if (!py::isinstance<py::dict>(address)) return out;
    for (auto item : py::reinterpret_borrow<py::dict>(address)) {
        std::string name = py::str(item.first);
        const char *other = v2_name(ADDRESS_NAMES, name);
        std::string target = other != nullptr ? other : name;
        for (const char *field : ADDRESS_FIELDS)
            if (target == field) out[py::str(target)] = item.second;
    }
    return out;
}

// The v1-shaped fields of `record` in v2's names, for the fields v2 can write.
py::dict writable_fields(const py::dict &record) {
    py::dict body;
    for (auto item : record) {
        std::string name = py::str(item.first);
        if (name == "billAddress" || name == "bill_address") {
            body["bill_address"] = address_body(item.second);
        } else if (name == "socialNetworks") {
            if (py::isinstance<py::dict>(item.second) && item.second.contains("website"))
                body["website"] = item.second[py::str("website")];
        } else if (name == "isperson") {
            body["is_person"] = py::bool_(py::reinterpret_borrow<py::object>(item.second));
        } else if (name == "type") {
            // v2 knows only these types; "no type" is left out rather than refused.
            std::string type = py::isinstance<py::str>(item.second) ? py::str(item.second).cast<std::string>() : "";
            for (const char *known : CONTACT_TYPES)
                if (type == known) body["type"] = item.second;
        } else {
            const char *other = v2_name(CONTACT_NAMES, name);
            std::string target = other != nullptr ? other : name;
            for (const char *field : WRITABLE)
                if (target == field) body[py::str(target)] = item.second;
        }
    }
    // The tax id is searched in "code"; a record that has it only as VAT number gets it there too.
    if ((!body.contains("code") || !has_text(body["code"])) && body.contains("vat_number") &&
        has_text(body["vat_number"]))
        body["code"] = body["vat_number"];
    return body;
}

}  // namespace

bool is_token(const std::string &key) { return key.rfind("pat_", 0) == 0; }

py::object to_v1(const py::handle &record) {
    if (!py::isinstance<py::dict>(record)) return py::reinterpret_borrow<py::object>(record);
    py::dict out;
    for (auto item : py::reinterpret_borrow<py::dict>(record)) {
        std::string name = py::str(item.first);
        py::object value = py::reinterpret_borrow<py::object>(item.second);
        if (name == "bill_address" && py::isinstance<py::dict>(value)) value = renamed(value, ADDRESS_NAMES);
        if (name == "shipping_addresses" && py::isinstance<py::list>(value))
            value = renamed_items(value, ADDRESS_NAMES);
        if (name == "contact_persons" && py::isinstance<py::list>(value)) value = renamed_items(value, PERSON_NAMES);
        if (name == "notes" && py::isinstance<py::list>(value)) value = renamed_items(value, NOTE_NAMES);
        if (name == "is_person") value = py::int_(py::bool_(value) ? 1 : 0);  // v1 reads 0/1
        const char *other = v1_name(CONTACT_NAMES, name);
        out[other != nullptr ? py::str(other) : py::str(item.first)] = value;
    }
    return out;
}

py::dict to_v1_brief(const py::handle &record) {
    py::dict out;
    if (!py::isinstance<py::dict>(record)) return out;
    py::dict fields = py::reinterpret_borrow<py::dict>(record);
    for (const char *name : {"id", "name", "phone", "mobile", "email", "code"})
        if (fields.contains(name)) out[name] = fields[name];
    if (fields.contains("vat_number")) out["vatnumber"] = fields["vat_number"];
    if (fields.contains("contact_persons") && py::isinstance<py::list>(fields["contact_persons"])) {
        py::list persons;
        for (py::handle person : fields["contact_persons"])
            if (py::isinstance<py::dict>(person) && person.contains("phone"))
                persons.append(py::dict("phone"_a = person[py::str("phone")]));
        out["contactPersons"] = persons;
    }
    return out;
}

py::dict create_body(const py::handle &record, std::vector<std::string> &lost) {
    py::dict fields = py::reinterpret_borrow<py::dict>(record);
    if (fields.contains("note") && filled(fields["note"])) lost.emplace_back("note");
    return writable_fields(fields);
}

py::dict replacement_body(const py::handle &read, const py::handle &changes) {
    py::dict current = py::reinterpret_borrow<py::dict>(read);
    // What v2 reads goes back as it takes it (a type it reads as "" is left out, as at creation).
    py::dict body = writable_fields(current);
    if (!body.contains("website") && current.contains("social_networks") &&
        py::isinstance<py::dict>(current["social_networks"]) && current["social_networks"].contains("website"))
        body["website"] = current["social_networks"][py::str("website")];
    py::list links;
    if (current.contains("contact_persons"))
        for (py::handle person : current["contact_persons"])
            if (py::isinstance<py::dict>(person) && person.contains("person_id"))
                links.append(py::dict("person_id"_a = person[py::str("person_id")]));
    body["contact_persons"] = links;
    for (auto item : writable_fields(py::reinterpret_borrow<py::dict>(changes))) body[item.first] = item.second;
    return body;
}

py::dict to_v1_error(int status, const py::handle &body) {
    py::object info = py::none();
    if (py::isinstance<py::dict>(body)) {
        py::dict problem = py::reinterpret_borrow<py::dict>(body);
        for (const char *field : {"detail", "title"})
            if (problem.contains(field) && has_text(problem[field])) {
                info = problem[field];
                break;
            }
    }
    py::dict error("status"_a = status);
    if (!info.is_none()) error["info"] = info;
    return error;
}

}  // namespace v2
