// Any bytes as a datagram on the multicast DNS port. What MdnsPacket accepts
// goes to the mDNS library's parser exactly as the announcer hands it over
// (in a buffer of its own size plus the padding), and the parser, compiled
// here with AddressSanitizer, must neither read nor write outside it.

#include "mdnspacket.h"

#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#define class dns_class // the library is C and names a field "class"
#include <1035.h>
#undef class
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    if (!MdnsPacket::wellFormed(bytes))
        return 0;
    std::vector<unsigned char> datagram(data, data + size);
    datagram.resize(size + MdnsPacket::ParserPadding, 0);
    auto parsed = std::make_unique<message>();
    std::memset(parsed.get(), 0, sizeof(message));
    message_parse(parsed.get(), datagram.data());
    return 0;
}
