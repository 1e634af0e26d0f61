#pragma once
#include "py.hpp"

// WhatsApp's chat address, without its scheme; the number follows it.
inline const std::string WHATSAPP_CHAT = "wa.me/";
// Quick-link addresses; the text searched for is appended to each.
inline const std::string WHATSAPP_CHAT_URL = "https://" + WHATSAPP_CHAT;
inline const std::string GOOGLE_SEARCH_URL = "https://www.google.com/search?q=";
inline constexpr const char *LINKEDIN_SEARCH_URL = "https://www.linkedin.com/search/results/all/?keywords=";
inline constexpr const char *LINKEDIN_SEARCH_ORIGIN = "&origin=GLOBAL_SEARCH_HEADER";
// Spanish country prefix for national numbers in the WhatsApp address.
inline constexpr const char *HOME_COUNTRY_PREFIX = "34";

// The contact types of the new-contact form, as it shows them (not translated: they are the
// keys of this table), and the Holded type each one stands for.
struct ContactType {
    const char *shown;
    const char *holded;
};
inline constexpr ContactType CONTACT_TYPES[] = {
    {"Sin especificar", ""},   {"Lead", "lead"},     {"Cliente", "client"},
    {"Proveedor", "supplier"}, {"Deudor", "debtor"}, {"Acreedor", "creditor"},
};

// Whether the client's answer to Nuevo is the id of a contact it has just created.
bool created_id(const py::handle &answer, const py::handle &apiteam);

// Whether the form's values name nobody: first name, surnames and company all blank.
bool nameless(const py::object &valores);

// What the user chose about the contacts that already have the new record's number, e-mail or
// tax id.
enum class Duplicate { none, open_existing, create_anyway, back };

// Asks the contact index (when ready) for contacts with the record's number, e-mail (the one
// typed, else the directory's) or tax id, and lets the user decide; opens the existing contacts'
// pages when that is the choice.
Duplicate check_duplicates(const py::object &apiteam, const py::dict &nuevo, const py::object &telefono);

// The e-mail check, the creation of the contact, and the new-contact form (module functions).
bool validatemail(const py::object &text);
py::object altateam(const py::object &valores, const py::object &telefono, const py::object &leinforma,
                    const py::object &self);
py::object alta(const py::object &self, const py::object &telefono);

// The client's contact index when it has one ready to be asked; None otherwise (no index, not
// built yet, or turned off).
py::object ready_index(const py::object &apiteam);

// The lookup of a number.
void register_lookup(py::module_ &m);
// The new-contact form, its labelled rows and its quick-link searches.
void register_form(py::module_ &m);
// The e-mail check and the creation of the contact.
void register_create(py::module_ &m);
