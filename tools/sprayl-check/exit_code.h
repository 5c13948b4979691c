// The exit codes of sprayl-check; which outcome gives which is a row of
// run_verdict.cpp's table.
#pragma once

constexpr int exit_intact = 0;
constexpr int exit_differs = 1;
constexpr int exit_unverifiable = 2;
// No damage found, but the bytes may have come from memory, not the drive.
constexpr int exit_unconfirmed = 3;
constexpr int exit_interrupted = 130;
