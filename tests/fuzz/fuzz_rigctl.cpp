// libFuzzer target for one client's session of the remote keying protocol (Hamlib's NET rigctl).
//
// Input: byte 0 chooses whether a port is open (bit 7) and the size of the pieces the rest is
// cut into (bits 0-6, plus one); the rest is what the client sends.

#include "RigctlSession.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace zptt;

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_rigctl: %s\n", what);
    std::abort();
}

struct Keying final : RemoteKeying {
    bool portOpen = true, keyed = false;
    int calls = 0;

    KeyResult remoteKey(ClientId) override {
        ++calls;
        keyed = keyed || portOpen;
        return portOpen ? KeyResult::Keyed : KeyResult::NoPort;
    }
    void remoteRelease(ClientId) override {
        ++calls;
        keyed = false;
    }
    void clientGone(ClientId) override { fail("the session ended itself at the keying"); }
    bool lineKeyed() const override { return keyed; }
};

// Feeds the input in pieces: every reply is whole lines, and a finished session is mute. Fed a
// line at a time, each line that is neither blank nor too long gets an answer.
QByteArray run(QByteArrayView input, const QList<qsizetype> &cuts, bool eachLine, Keying &keying) {
    RigctlSession session(keying, 1);
    QByteArray out;
    qsizetype at = 0;
    for (qsizetype cut : cuts) {
        const bool silent = session.finished();
        const QByteArrayView piece = input.sliced(at, cut - at);
        const QByteArray reply = session.receive(piece);
        if (!reply.isEmpty() && (silent || !reply.endsWith('\n')))
            fail("a reply that is not whole lines, or after the end");
        if (eachLine && !silent && reply.isEmpty() && piece.endsWith('\n') &&
            piece.size() <= RigctlSession::kMaxLine + 1 && !piece.trimmed().isEmpty())
            fail("a line left without an answer");
        out += reply;
        at = cut;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const QByteArrayView input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype piece = (data[0] & 0x7f) + 1;
    QList<qsizetype> cuts[3] = {{input.size()}, {}, {}}; // all at once, in pieces, by lines
    for (qsizetype at = 1; at <= input.size(); ++at) {
        if (at % piece == 0 || at == input.size())
            cuts[1] << at;
        if (input[at - 1] == '\n' || at == input.size())
            cuts[2] << at;
    }
    Keying keying[3];
    QByteArray replies[3];
    for (int i = 0; i < 3; ++i) {
        keying[i].portOpen = data[0] & 0x80;
        replies[i] = run(input, cuts[i], i == 2, keying[i]);
        if (replies[i] != replies[0] || keying[i].calls != keying[0].calls ||
            keying[i].keyed != keying[0].keyed)
            fail("the replies depend on how the bytes were cut");
    }
    if (keying[0].calls > input.count('\n'))
        fail("keyed or released more often than there are lines");
    return 0;
}
