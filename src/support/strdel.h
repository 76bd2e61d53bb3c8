// Deleting every occurrence of one character from a string in place.
#pragma once

int strdel(char* s, int c);
