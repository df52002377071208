// Programs by the part they play in a pipeline's data flow: where content
// from the network comes in, where data leaves on a raw socket, and what
// disguises the data passing through.
#pragma once

#include <array>
#include <string_view>

namespace corvane::rules {

// Programs whose output is content fetched from the network.
inline constexpr std::array<std::string_view, 3> kDownloaders = {"curl", "wget", "fetch"};

// Programs that push whatever they read onto a raw socket.
inline constexpr std::array<std::string_view, 4> kSocketTools = {"nc", "ncat", "socat", "telnet"};

// Encoders, compressors and ciphers: data passing through them is disguised.
inline constexpr std::array<std::string_view, 12> kEncoders = {
    "base64", "xxd",   "od",    "hexdump", "uuencode", "openssl",
    "gpg",    "gzip",  "gunzip", "bzip2",  "bunzip2",  "xz"};

// Whatever encoder was seen, the flow reports one encoding step of this name.
inline constexpr std::string_view kEncodingMethod = "base64";

}  // namespace corvane::rules
