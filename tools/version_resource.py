"""The file properties of the Windows executable (name, version, maker), written as PyInstaller's
version file. callcompanion.spec writes it from the version compiled into the modules, so the
properties Windows shows are those of the code inside. Plain text, so that it is made (and
checked) on every system: PyInstaller's own classes for it load only on Windows."""
import re

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


def version_file_text(product, version):
    """The version file: the expression PyInstaller evaluates into its VSVersionInfo."""
    numbers = version_numbers(version)
    strings = [("CompanyName", COMPANY), ("FileDescription", product), ("FileVersion", version),
               ("InternalName", EXECUTABLE), ("OriginalFilename", EXECUTABLE + ".exe"),
               ("ProductName", product), ("ProductVersion", version)]
    entries = ",\n".join(f"          StringStruct({name!r}, {value!r})" for name, value in strings)
    return f"""# UTF-8
VSVersionInfo(
  ffi=FixedFileInfo(filevers={numbers!r}, prodvers={numbers!r}, mask=0x3f, flags=0x0, OS=0x40004,
                    fileType=0x1, subtype=0x0, date=(0, 0)),
  kids=[
    StringFileInfo([
      StringTable({f"{LANGUAGE:04X}{CODE_PAGE:04X}"!r}, [
{entries}])]),
    VarFileInfo([VarStruct('Translation', [{LANGUAGE}, {CODE_PAGE}])])
  ]
)
"""


def write_version_file(path, product, version):
    with open(path, "w", encoding="utf-8") as out:
        out.write(version_file_text(product, version))
    return path
