// The fonts of the windows, named once.
#pragma once

namespace fonts {
inline constexpr const char *HEADING = "Any 20";  // headings and the big buttons of the forms
inline constexpr const char *FIELD = "Any 14";    // captions and text fields
inline constexpr const char *POPUP = "Any 15";    // the e-mail popup of the new-contact form
inline constexpr const char *FRAME = "Any 10";    // titles of the forms' frames
inline constexpr const char *PLAIN = "Mambo 10";  // the configuration window and the directory chooser
inline constexpr const char *LARGE = "Mambo 20";  // the configuration window's "Ok"
}  // namespace fonts
