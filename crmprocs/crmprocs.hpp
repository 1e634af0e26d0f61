#pragma once
#include "py.hpp"

// The lookup of a number, the labelled input row and the quick-link searches.
void register_lookup(py::module_ &m);
// The new-contact form.
void register_form(py::module_ &m);
// The e-mail check and the creation of the contact.
void register_create(py::module_ &m);
