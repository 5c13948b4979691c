// The exit codes of sprayl-check, and the one a check's outcome gives.
#pragma once

#include "check_result.h"

constexpr int exit_intact = 0;
constexpr int exit_differs = 1;
constexpr int exit_unverifiable = 2;
// No damage found, but the bytes may have come from memory, not the drive.
constexpr int exit_unconfirmed = 3;
constexpr int exit_interrupted = 130;

inline int exit_code_of(CheckOutcome outcome) {
    switch (outcome) {
    case outcome_intact:
        return exit_intact;
    case outcome_unconfirmed:
        return exit_unconfirmed;
    case outcome_damaged:
        return exit_differs;
    case outcome_interrupted:
        return exit_interrupted;
    default:
        return exit_unverifiable;
    }
}
