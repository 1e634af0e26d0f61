"""The file properties of the Windows executable (name, version, maker), as PyInstaller's
version resource. callcompanion.spec builds it from the version compiled into the modules, so the
properties Windows shows are those of the code inside."""
import re

from PyInstaller.utils.win32.versioninfo import (FixedFileInfo, StringFileInfo, StringStruct, StringTable,
                                                 VarFileInfo, VarStruct, VSVersionInfo)

COMPANY = "Zelvora"
EXECUTABLE = "callcompanion"
# Spanish (Spain), in UTF-16: the one language of the properties.
LANGUAGE, CODE_PAGE = 0x0C0A, 1200


def version_numbers(version):
    """The four numbers Windows keeps of a version text: "1.2" gives (1, 2, 0, 0)."""
    if not re.fullmatch(r"\d+(\.\d+){0,3}", version):
        raise ValueError(f"not a version of up to four numbers: {version!r}")
    numbers = [int(part) for part in version.split(".")]
    if any(number > 0xFFFF for number in numbers):
        raise ValueError(f"a part of {version!r} does not fit in 16 bits")
    return tuple(numbers + [0] * (4 - len(numbers)))


def version_resource(product, version):
    numbers = version_numbers(version)
    strings = [
        StringStruct("CompanyName", COMPANY),
        StringStruct("FileDescription", product),
        StringStruct("FileVersion", version),
        StringStruct("InternalName", EXECUTABLE),
        StringStruct("OriginalFilename", EXECUTABLE + ".exe"),
        StringStruct("ProductName", product),
        StringStruct("ProductVersion", version),
    ]
    return VSVersionInfo(
        ffi=FixedFileInfo(filevers=numbers, prodvers=numbers),
        kids=[StringFileInfo([StringTable(f"{LANGUAGE:04X}{CODE_PAGE:04X}", strings)]),
              VarFileInfo([VarStruct("Translation", [LANGUAGE, CODE_PAGE])])])
