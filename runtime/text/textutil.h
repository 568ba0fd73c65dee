// Short text helpers.
#ifndef RUNTIME_TEXT_TEXTUTIL_H
#define RUNTIME_TEXT_TEXTUTIL_H

#include <cstddef>

// Compares a with the start of b without regard to case: bytes above 'Z'
// are folded by subtracting 32. Returns the difference of the first
// unequal folded pair, or 0 as soon as a ends (a prefix of b compares
// equal). A null a compares equal; a null b counts as empty.
int compareNoCase(const char* a, const char* b);

// For a line "key<blanks or tabs>value\n": cuts the line feed in place and
// returns the value (an empty text when the line holds no value). Null for
// a null line.
char* statusLineValue(char* line);

// A text shorter than width is copied to output; a longer one becomes
// (width - 3) / 2 characters from the start, "..." and as many from the
// end, or an empty text when width is below 5. Returns the text's length.
// Output must hold width + 1 characters.
size_t shortenMiddle(char* output, const char* text, int width);

// Copies at most size - 1 characters of text (empty for null) and a
// terminator. Returns output, or null for a null output or size < 1.
char* copyBounded(char* output, const char* text, int size);

#endif
