// The line envelope and the encoders every outgoing line is built with.
#pragma once

#include <cstddef>
#include <string>

namespace owner_protocol {

// {"version":1, + body + } + LF
std::string frame(const std::string& body);

// Standard base64 with padding and no line breaks; empty for size 0.
std::string base64(const void* data, std::size_t size);

// The complete output line for one read of a root stream ("stdout" or "stderr").
std::string output(const char* stream, const void* data, std::size_t size);

}  // namespace owner_protocol
