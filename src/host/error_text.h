#pragma once
#include <string>

#include "platform/error.h"
#include "platform/platform.h"

using platform::hresult_error;
using platform::toUtf8;

// The platform's message without trailing white space, a blank, then "(0x%08X)" of the code.
std::string errorText(const hresult_error& error);
