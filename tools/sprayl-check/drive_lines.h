// What the drive says it is, as the command line's reports give it: the
// lines of drive/identity_report made into text for the probe's report,
// or printed beside a fill's; and the month the run is in, which tells a
// card's impossible date of manufacture.
#pragma once

#include "identity_report.h"

#include <cstdio>
#include <string>

// This month, on the system's calendar; {0, 0} where it cannot be told.
YearMonth this_month();

// The lines that say what identity says it is, one after another; "" where
// it is not known.
std::string identity_lines(const DriveIdentity* identity, YearMonth today);

// Prints those lines to out.
void print_identity_lines(std::FILE* out, const DriveIdentity* identity, YearMonth today);
