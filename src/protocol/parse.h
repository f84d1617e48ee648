// Strict readers for received text: flat JSON control lines, positive integers, base64.
#pragma once

#include <map>
#include <string>

// Member name -> member text, sorted by name; an absent member reads as empty text.
using Fields = std::map<std::string, std::string>;

Fields parse(const std::string& line);

// A whole base-10 integer between 1 and 2147483647, else "positive integer required".
int positive(const std::string& text);

// Canonical standard base64 of at most 8192 bytes.
std::string decode(const std::string& text);
