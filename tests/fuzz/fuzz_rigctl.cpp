// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: a client's session of Hamlib's NET rigctl protocol, fed whole and in pieces
// of byte 0 plus one bytes: the same replies, each whole lines, and none after the end.

#include "RigctlSession.h"

#include <cassert>

using namespace zptt;

struct Keying final : RemoteKeying {
    bool keyed = false;
    KeyResult remoteKey(ClientId) override { return keyed = true, KeyResult::Keyed; }
    void remoteRelease(ClientId) override { keyed = false; }
    void clientGone(ClientId, bool) override { assert(!"only the server ends a session"); }
    bool lineKeyed() const override { return keyed; }
};

QByteArray run(QByteArrayView input, qsizetype piece) {
    Keying keying;
    RigState rig;
    RigctlSession session(keying, rig, 1);
    QByteArray out;
    for (qsizetype at = 0; at < input.size(); at += piece) {
        const bool silent = session.finished();
        const QByteArray reply =
            session.receive(input.sliced(at, std::min(piece, input.size() - at)));
        assert(reply.isEmpty() || (!silent && reply.endsWith('\n')));
        out += reply;
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    assert(run(input, input.size() + 1) == run(input, data[0] + 1));
    return 0;
}
