// Splitting a text into an APLIST of fields, honouring double quotes and backslashes.
#pragma once

#include "aplist.h"

APLIST ap_strsplit(const char* text, const char* separators);
