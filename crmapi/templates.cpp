// The resource table and the record templates. Dicts keep insertion order, and the templates are
// serialised as request bodies, so every entry is put in the order the service's docs list them.
#include "crmapi.hpp"

#include <initializer_list>

namespace {

// Neutral value of a text field.
const char *const BLANK = " ";

py::dict blanks(std::initializer_list<const char *> keys) {
    py::dict fields;
    for (const char *key : keys) fields[key] = BLANK;
    return fields;
}

py::dict contact_defaults() {
    py::dict defaults;
    defaults["expensesAccountRecord"] = 0;
    defaults["expensesAccountName"] = BLANK;
    defaults["salesAccountRecord"] = 0;
    defaults["salesAccountName"] = BLANK;
    defaults["dueDays"] = 0;
    defaults["salesTax"] = 0;
    defaults["purchasesTax"] = 0;
    defaults["accumulateInForm347"] = "Yes or No";
    defaults["paymentMethod"] = BLANK;
    defaults["discount"] = 0;
    defaults["currency"] = "eur = Euro, usd = U.S. Dollar";
    defaults["language"] =
        "es = spanish, en = english, fr = french, de = german, it = italian, ca = catalan, eu = euskera";
    defaults["showTradeNameOnDocs"] = py::bool_(true);
    defaults["showCountryOnDocs"] = py::bool_(true);
    return defaults;
}

py::dict contact_template() {
    py::dict contact;
    contact["billAddress"] = blanks({"address", "city", "postalCode", "province", "country"});
    contact["numberingSeries"] = blanks({"receipt", "salesOrder", "purchasesOrder", "proform", "waybill"});
    contact["defaults"] = contact_defaults();
    contact["socialNetworks"] = blanks({"website"});
    for (const char *key : {"CustomId", "name", "code", "email", "mobile"}) contact[key] = BLANK;
    // The hint naming the contact types sits under "phone"; the template has no "type" entry.
    contact["phone"] = " Options: supplier, debtor, creditor, client, lead";
    contact["isperson"] = py::bool_(false);
    for (const char *key : {"iban", "swift", "sepaRef", "groupId"}) contact[key] = BLANK;
    contact["taxOperation"] = "general, intra, impexp, nosujeto, receq, exento";
    contact["sepaDate"] = 0;
    contact["clientRecord"] = 0;
    contact["supplierRecord"] = 0;
    py::list shipping;
    shipping.append(blanks({"name", "address", "city", "postalCode", "province", "country", "note", "privateNote"}));
    contact["shippingAddresses"] = shipping;
    py::list tags;
    tags.append("etiqueta");
    contact["tags"] = tags;
    contact["note"] = BLANK;
    py::list persons;
    persons.append(blanks({"name", "phone", "email"}));
    contact["contactPersons"] = persons;
    return contact;
}

py::dict product_template() {
    py::dict product;
    product["kind"] = "wqdsd";
    product["name"] = "asd";
    product["tax"] = 12;
    product["barcode"] = "asd";
    product["desc"] = "qwe";
    product["subtotal"] = 12;
    product["sku"] = "12e";
    product["purchasePrice"] = 12;
    product["cost"] = 12;
    product["weight"] = 12;
    return product;
}

}  // namespace

py::dict resource_table() {
    py::dict table;
    table["contacts"] = py::list(py::make_tuple("invoicing/v1/contacts", contact_template()));
    table["products"] = py::list(py::make_tuple("invoicing/v1/products", product_template()));
    return table;
}
