#pragma once

// The requests that kestrel-bench sends and the replies it insists on, byte
// for byte. The stand-in locomotive is frozen by the description file below,
// so every answer is known in advance; the floor server answers from the
// same table, which keeps both servers honest about the bytes they send.
//
// Plain C++ without Qt: the load generator and the floor server stay cheap.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class RequestKind {
    ControllerValues, // framed code 6 with ten controller ids
    TrainData,        // framed code 4
    TextValue,        // plain-text "GetControllerValue(1;0)<END>"
};

// The description file ("railsim.loco") that freezes the stand-in library.
extern const char* const kFrozenLocomotive;

struct RequestCase
{
    RequestKind kind;
    const char* name;  // short name on the command line and in tables
    const char* title; // what the table calls it
    std::string request; // with tag 0 for framed requests
    std::string reply;   // the exact reply to `request`
    // Offset of the six tag digits in request and reply alike; -1 for
    // plain text, which carries no tag.
    int tagOffset;
};

const RequestCase& requestCase(RequestKind kind);
const std::vector<RequestKind>& allKinds();
bool kindFromName(const std::string& name, RequestKind* kind);

constexpr int kFrameHeaderSize = 8;
constexpr int kFrameTagOffset = 12;
constexpr uint32_t kTagLimit = 1000000;

// "@" length ";" code ";" tag ";" payload ";" with zero-padded numbers.
std::string frame(int code, uint32_t tag, const std::string& payload);

// Writes `tag` modulo 10^6 as six digits over the six bytes at `bytes`.
void writeTag(char* bytes, uint32_t tag);

// The reply that the servers owe to a request of this case carrying `tag`
// (the case's reply with the tag written in).
std::string replyFor(const RequestCase& c, uint32_t tag);
std::string requestFor(const RequestCase& c, uint32_t tag);

// Bytes shown in a failure message: printable ASCII as is, the rest escaped.
std::string printable(const char* bytes, size_t size, size_t limit = 160);

} // namespace bench
