// Arbitrary bytes as the text a host sends on the data connection, delivered in chunks of
// varying size: cutting messages and interpreting commands must never crash, the pending
// text stays within its cap, and every command that comes out is interpreted to a defined
// action with its spaces removed.
#include "hostlink/hostprotocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr int cap = 4096; // small, so that the overflow path is reached quickly
    hostprotocol::ReceiveFramer framer(cap);
    size_t at = 0;
    unsigned chunkSeed = size > 0 ? data[0] : 1;
    while (at < size) {
        const size_t chunk = 1 + (chunkSeed % 97);
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        const size_t take = chunk < size - at ? chunk : size - at;
        framer.append(QString::fromUtf8(reinterpret_cast<const char*>(data + at), static_cast<int>(take)));
        at += take;
        if (framer.size() > cap + 97)
            abort();
        for (const QString& command : framer.takeCommands()) {
            const hostprotocol::Action action = hostprotocol::interpretCommand(command);
            if (action.command.contains(QLatin1Char(' ')))
                abort();
            if (action.recognised() == (action.kind == hostprotocol::Action::Unknown))
                abort();
        }
        framer.takeNotes();
    }
    framer.clear();
    if (!framer.isEmpty())
        abort();
    return 0;
}
