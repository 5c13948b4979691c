// What sprayl writes on standard error: the help text and the output error,
// as every suite that runs it expects them.
#pragma once

#include "sprayl_version.h"

#include <string>

// The help text is the banner, whose credit (between "by " and the empty
// line) is the program's own wording, then two fixed lines.
inline const std::string help_banner_start =
    "sprayl v" SPRAYL_VERSION " [" SPRAYL_BUILD_DATE "], by ";
inline const std::string help_credit = "the sprayl authors";
inline const std::string help_after_credit =
    "\n\nFast generator of pseudo-random bytes, using the \"xorwow\" method.\n"
    "Output has been verified to pass the Dieharder test suite.\n\n";
inline const std::string help_text = help_banner_start + help_credit + help_after_credit;

inline const std::string output_error_text = "Error: Failed to initialize output stream!\n";
