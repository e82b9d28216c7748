#pragma once
#include <string_view>

// Carries out one non-empty command line in the protocol in force.
void dispatch(std::string_view line);

// The end of input: every connection is closed.
void endOfInput();
