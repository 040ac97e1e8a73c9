#include "benchcases.h"

#include <cstdio>

namespace bench {

const char* const kFrozenLocomotive =
    "# Written by kestrel-bench: a frozen locomotive, so that every answer is\n"
    "# known to the byte. Nothing here moves while the benchmark runs.\n"
    "name Kestrel.:.Railsim Bench.:.Class 66 Frozen\n"
    "freeze\n"
    "time 13:45:30\n"
    "latitude 51.5\n"
    "longitude -0.125\n"
    "heading 270\n"
    "gradient -1.25\n"
    "tunnel 0\n"
    "fuel 0.75\n"
    "speed -6.5\n"
    "controller Reverser            -1     1     -1\n"
    "controller Regulator           0      1     0.25\n"
    "controller TrainBrakeControl   0      1     0.5\n"
    "controller EngineBrakeControl  0      1     0.75\n"
    "controller DynamicBrake        0      1     0.125\n"
    "controller EmergencyBrake      0      1     0\n"
    "controller Horn                0      1     1\n"
    "controller Sander              0      1     0\n"
    "controller Headlights          0      2     2\n"
    "controller Wipers              0      1     0.375\n"
    "controller SpeedometerMPH      0      100   6.5    ro\n"
    "controller Ammeter             -1500  1500  -250   ro\n";

namespace {

void appendPadded(std::string* out, uint32_t value, int width)
{
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%0*u", width, value);
    out->append(digits, size_t(length));
}

std::vector<RequestCase> buildCases()
{
    std::vector<RequestCase> cases;
    // Ten ids: writable controllers, the two gauges and the latitude (400).
    cases.push_back({RequestKind::ControllerValues, "frame6", "framed code 6, ten ids",
                     frame(6, 0, "0:1:2:3:4:8:9:10:11:400"),
                     frame(7, 0, "0:-1::1:0.25::2:0.5::3:0.75::4:0.125::8:2::9:0.375::10:6.5::11:-250::400:51.5::"),
                     kFrameTagOffset});
    // Train data, then the server's shared values as a fresh server has them.
    cases.push_back({RequestKind::TrainData, "frame4", "framed code 4, train data",
                     frame(4, 0, ""),
                     frame(4, 0, "51.5000000:-0.1250000:-1.2500000:13:45:30:6.50:-0.25:0:::0:9:169:300:200:200"),
                     kFrameTagOffset});
    cases.push_back({RequestKind::TextValue, "text", "plain-text GetControllerValue(1;0)",
                     "GetControllerValue(1;0)<END>", "0.25", -1});
    return cases;
}

const std::vector<RequestCase>& cases()
{
    static const std::vector<RequestCase> all = buildCases();
    return all;
}

} // namespace

std::string frame(int code, uint32_t tag, const std::string& payload)
{
    std::string body;
    appendPadded(&body, uint32_t(code), 3);
    body += ';';
    appendPadded(&body, tag % kTagLimit, 6);
    body += ';';
    body += payload;
    body += ';';
    std::string bytes = "@";
    appendPadded(&bytes, uint32_t(body.size()), 6);
    bytes += ';';
    return bytes + body;
}

void writeTag(char* bytes, uint32_t tag)
{
    tag %= kTagLimit;
    for (int i = 5; i >= 0; --i) {
        bytes[i] = char('0' + tag % 10);
        tag /= 10;
    }
}

std::string replyFor(const RequestCase& c, uint32_t tag)
{
    std::string bytes = c.reply;
    if (c.tagOffset >= 0)
        writeTag(&bytes[size_t(c.tagOffset)], tag);
    return bytes;
}

std::string requestFor(const RequestCase& c, uint32_t tag)
{
    std::string bytes = c.request;
    if (c.tagOffset >= 0)
        writeTag(&bytes[size_t(c.tagOffset)], tag);
    return bytes;
}

const RequestCase& requestCase(RequestKind kind)
{
    for (const RequestCase& c : cases()) {
        if (c.kind == kind)
            return c;
    }
    return cases().front();
}

const std::vector<RequestKind>& allKinds()
{
    static const std::vector<RequestKind> kinds = {RequestKind::ControllerValues, RequestKind::TrainData,
                                                   RequestKind::TextValue};
    return kinds;
}

bool kindFromName(const std::string& name, RequestKind* kind)
{
    for (const RequestCase& c : cases()) {
        if (name == c.name) {
            *kind = c.kind;
            return true;
        }
    }
    return false;
}

std::string printable(const char* bytes, size_t size, size_t limit)
{
    std::string text;
    for (size_t i = 0; i < size && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += char(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    if (size > limit)
        text += "...";
    return text;
}

} // namespace bench
