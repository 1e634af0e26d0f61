"""Numbers as the handset, the command line and the user give them."""
import pytest

from phonewatch import clean_number, procetlf, validatenumero


@pytest.mark.parametrize("raw, ready", [
    ("612 34 56 78", "612345678"),
    ("   ", ""),
    ("", ""),
    ("0034 612 345 678", "+34612345678"),        # 13 characters once the blanks are gone
    ("0012345678", "+12345678"),                  # exactly ten
    ("001234567", "001234567"),                   # nine: left alone
    ("00 1234567", "001234567"),                  # blanks go before the length is measured
    ("+34 612 34 56 78", "+34612345678"),
    ("0612345678", "0612345678"),
    ("612-345.678\t(1)", "612-345.678\t(1)"),     # only the space character is a blank
])
def test_procetlf(raw, ready):
    assert procetlf(raw) == ready


@pytest.mark.parametrize("text, valid", [
    ("+34 612 34 56 78", True), ("612345678", True), ("   ", True), ("+++", True),
    ("612-345-678", False), ("612.345", False), ("61a", False), ("(612)", False),
    ("", False), ("612345678\n", False), ("612\n345", False),
    ("٦١٢٣٤٥٦٧٨", False),  # digits of other scripts are not telephone digits here
])
def test_validatenumero(text, valid):
    assert validatenumero(text) is valid


@pytest.mark.parametrize("raw, clean", [
    ("#31#622334455", "622334455"),                 # the prefix that hides one's own number
    ("*31# 622 33 44 55", " 622 33 44 55"),          # plain spaces are left to procetlf
    ("  #31#+34622334455", "+34622334455"),
    ("622#31#", "622#31#"),                          # a prefix only at the start
    ("#31#", ""),
    ("６２２３３４４５５", "622334455"),              # full-width digits
    ("٦٢٢٣٣٤٤٥٥", "622334455"),                      # Arabic-Indic digits
    ("\uff0b34\u00a0622\u202f334\t455", "+34622334455"),
    ("\u202a622\u200b334\u2060455\ufeff\u202c", "622334455"),  # zero-width blanks, direction marks
    ("612-345.678 (1)", "612-345.678 (1)"),           # everything else is left as it is
])
def test_clean_number(raw, clean):
    assert clean_number(raw) == clean


@pytest.mark.parametrize("function", [procetlf, validatenumero, clean_number])
@pytest.mark.parametrize("value", [None, 612345678, b"612345678"])
def test_only_text_is_accepted(function, value):
    with pytest.raises(TypeError):
        function(value)
