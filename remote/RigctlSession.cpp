// SPDX-License-Identifier: GPL-3.0-or-later
// Hamlib ships no server side of its network protocol as a library (rigctld is a program), so
// the few commands a keying client needs are parsed here.
#include "RigctlSession.h"

#include <optional>
#include <utility>
#include <vector>

namespace zptt {
namespace {

// Hamlib's result codes, as replies carry them.
constexpr int kOk = 0;
constexpr int kInvalid = -1;       // RIG_EINVAL: a missing or unusable argument
constexpr int kIoError = -6;       // RIG_EIO: the line could not be keyed
constexpr int kRejected = -9;      // RIG_ERJCTED: no port is open, nothing keyed
constexpr int kNotAvailable = -11; // RIG_ENAVAIL: not a command of this rig

constexpr double kHighestFrequency = 1e12;
constexpr qint64 kNormalPassband = 2400;

// rigctld's dump_state in the layout of protocol version 0, which every NET rigctl client
// reads field by field at connect: a rig on every frequency (1 Hz to 1 THz) in every common
// mode (AM to DSB), VFOs A and B, and nothing else.
constexpr char kDumpState[] = "0\n" // protocol version
                              "1\n" // rig model: Hamlib's dummy, a rig that only remembers
                              "0\n" // ITU region
                              // receive ranges: from, to, modes, power (mW), VFOs, antennas
                              "1.000000 1000000000000.000000 0xfffff -1 -1 0x3 0x1\n"
                              "0 0 0 0 0 0 0\n"
                              // transmit ranges
                              "1.000000 1000000000000.000000 0xfffff 1 100000 0x3 0x1\n"
                              "0 0 0 0 0 0 0\n"
                              "0xfffff 1\n0 0\n"    // tuning steps: modes, step
                              "0xfffff 2400\n0 0\n" // filters: modes, width
                              "0\n0\n0\n"           // largest RIT, XIT, IF shift
                              "0\n"                 // announces
                              "\n\n"                // preamplifiers, attenuators
                              "0x0\n0x0\n"          // functions read, set
                              "0x0\n0x0\n"          // levels read, set
                              "0x0\n0x0\n";         // parameters read, set

constexpr const char *kVfoNames[] = {"VFOA", "VFOB"};
// What the program says it is, for get_info.
constexpr char kInfo[] = "Zorore_PTT: keys the transmitter, remembers the rest";

// A mode as Hamlib writes one: USB, PKTUSB, D-STAR...
bool isMode(QByteArrayView word) {
    if (word.isEmpty() || word.size() > 16)
        return false;
    for (char c : word) {
        const bool letterOrDigit =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-')
            return false;
    }
    return true;
}

// The marks that ask for the extended form (rigctld takes any punctuation but these).
bool isSeparator(char c) {
    const bool punctuation = (c >= '!' && c <= '/') || (c >= ':' && c <= '@') ||
                             (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
    return punctuation && QByteArrayView("\\?_#*").indexOf(c) < 0;
}

QList<QByteArrayView> words(QByteArrayView line) {
    QList<QByteArrayView> out;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.append(line.sliced(start, i - start));
    }
    return out;
}

QByteArray report(int code) {
    return "RPRT " + QByteArray::number(code) + '\n';
}

} // namespace

enum class RigctlSession::Command {
    SetFreq,
    GetFreq,
    SetMode,
    GetMode,
    SetVfo,
    GetVfo,
    SetSplit,
    GetSplit,
    SetSplitFreq,
    GetSplitFreq,
    SetSplitMode,
    GetSplitMode,
    SetPtt,
    GetPtt,
    GetPowerStat,
    GetInfo,
    GetRit,
    CheckVfo,
    DumpState,
    GetLockMode,
    SetVfoOpt,
    Quit,
};

struct RigctlSession::Known {
    char letter;      // the short form, or none
    const char *name; // the long form, after a backslash
    Command command;
    qsizetype arguments;
};

struct RigctlSession::Answer {
    int code = kOk;
    // Named values in order; one with no name is a block sent as it is.
    std::vector<std::pair<const char *, QByteArray>> values;
    // The plain form ends with a report after the values too, as rigctld's get_lock_mode
    // does: clients read that second line.
    bool report = false;

    static Answer status(int code) {
        Answer answer;
        answer.code = code;
        return answer;
    }
};

RigctlSession::RigctlSession(RemoteKeying &keying, RigState &rig, RemoteKeying::ClientId client)
    : m_keying(keying), m_rig(rig), m_client(client) {}

// VFOs A and B under Hamlib's names for them, and the ones that stand for either; -1: none.
int RigctlSession::vfoIndex(QByteArrayView name) const {
    if (name == "VFOA" || name == "Main" || name == "MainA")
        return 0;
    if (name == "VFOB" || name == "Sub" || name == "MainB")
        return 1;
    if (name == "currVFO" || name == "VFO" || name == "RX")
        return m_rig.current;
    if (name == "TX")
        return m_rig.split ? m_rig.txVfo : m_rig.current;
    return name == "otherVFO" ? 1 - m_rig.current : -1;
}

const RigctlSession::Known *RigctlSession::lookup(QByteArrayView word) {
    static constexpr Known known[] = {
        {'F', "set_freq", Command::SetFreq, 1},
        {'f', "get_freq", Command::GetFreq, 0},
        {'M', "set_mode", Command::SetMode, 2},
        {'m', "get_mode", Command::GetMode, 0},
        {'V', "set_vfo", Command::SetVfo, 1},
        {'v', "get_vfo", Command::GetVfo, 0},
        {'S', "set_split_vfo", Command::SetSplit, 2},
        {'s', "get_split_vfo", Command::GetSplit, 0},
        {'I', "set_split_freq", Command::SetSplitFreq, 1},
        {'i', "get_split_freq", Command::GetSplitFreq, 0},
        {'X', "set_split_mode", Command::SetSplitMode, 2},
        {'x', "get_split_mode", Command::GetSplitMode, 0},
        {'T', "set_ptt", Command::SetPtt, 1},
        {'t', "get_ptt", Command::GetPtt, 0},
        {0, "get_powerstat", Command::GetPowerStat, 0},
        {'_', "get_info", Command::GetInfo, 0},
        {'j', "get_rit", Command::GetRit, 0},
        {0, "chk_vfo", Command::CheckVfo, 0},
        {0, "dump_state", Command::DumpState, 0},
        {0, "get_lock_mode", Command::GetLockMode, 0},
        {0, "set_vfo_opt", Command::SetVfoOpt, 1},
        {'q', "", Command::Quit, 0},
        {'Q', "", Command::Quit, 0},
    };
    for (const Known &k : known) {
        if (word.size() == 1 && k.letter != 0 && word.front() == k.letter)
            return &k;
        if (word.size() > 1 && word.front() == '\\' && word.sliced(1) == k.name)
            return &k;
    }
    return nullptr;
}

QByteArray RigctlSession::receive(QByteArrayView bytes) {
    QByteArray out;
    if (m_finished)
        return out;
    m_pending.append(bytes);
    qsizetype from = 0;
    while (!m_finished) {
        const qsizetype end = m_pending.indexOf('\n', from);
        if (end < 0)
            break;
        if (end - from > kMaxLine) {
            m_finished = true;
            break;
        }
        out += reply(QByteArrayView(m_pending).sliced(from, end - from));
        from = end + 1;
    }
    m_pending.remove(0, from);
    if (m_pending.size() > kMaxLine)
        m_finished = true;
    if (m_finished)
        m_pending.clear();
    return out;
}

QByteArray RigctlSession::reply(QByteArrayView line) {
    line = line.trimmed();
    if (line.isEmpty())
        return {};
    char separator = 0; // the plain form
    if (isSeparator(line.front())) {
        separator = line.front() == '+' ? '\n' : line.front();
        line = line.sliced(1);
    }
    const QList<QByteArrayView> all = words(line);
    const Known *known = all.isEmpty() ? nullptr : lookup(all.front());
    // Never silence: a Hamlib client waits its whole time-out for an answer.
    if (!known)
        return report(kNotAvailable);
    if (known->command == Command::Quit) {
        m_finished = m_saidGoodbye = true;
        return report(kOk);
    }

    const QList<QByteArrayView> args = all.sliced(1);
    // A client in VFO mode names the VFO first.
    QList<QByteArrayView> given = args;
    int vfo = m_rig.current;
    if (given.size() == known->arguments + 1 && known->command != Command::SetVfo &&
        (vfo = vfoIndex(given.front())) >= 0)
        given.removeFirst();
    const Answer answer = given.size() == known->arguments ? run(known->command, given, vfo)
                                                           : Answer::status(kInvalid);

    QByteArray out;
    if (separator == 0) {
        if (answer.code != kOk || answer.values.empty())
            return report(answer.code);
        for (const auto &[name, value] : answer.values)
            out += name ? value + '\n' : value;
        return answer.report ? out + report(kOk) : out;
    }
    out += known->name;
    out += ':';
    for (QByteArrayView arg : args)
        out += ' ' + arg.toByteArray();
    out += separator;
    if (answer.code == kOk) {
        for (const auto &[name, value] : answer.values)
            out += name ? name + QByteArray(": ") + value + separator : value;
    }
    return out + report(answer.code);
}

namespace {

// 0 asks for the rig's usual passband, a negative one for no change.
bool setMode(RigState::Vfo &vfo, QByteArrayView mode, QByteArrayView passbandText) {
    bool ok = false;
    const qint64 passband = passbandText.toLongLong(&ok);
    if (!ok || !isMode(mode))
        return false;
    vfo.mode = mode.toByteArray();
    if (passband >= 0)
        vfo.passband = passband == 0 ? kNormalPassband : passband;
    return true;
}

std::optional<double> frequency(QByteArrayView text) {
    bool ok = false;
    const double hz = text.toDouble(&ok);
    return ok && hz >= 0.0 && hz <= kHighestFrequency ? std::optional(hz) : std::nullopt;
}

QByteArray frequencyText(double hz) {
    return QByteArray::number(hz, 'f', 0);
}

} // namespace

RigctlSession::Answer RigctlSession::run(Command command, const QList<QByteArrayView> &args,
                                         int vfo) {
    bool ok = false;
    // Split's transmit VFO; with split off the other one, as on a rig with two.
    RigState::Vfo &tx = m_rig.vfos[m_rig.split ? m_rig.txVfo : 1 - m_rig.current];
    switch (command) {
    case Command::SetFreq:
    case Command::SetSplitFreq: {
        const std::optional<double> hz = frequency(args[0]);
        if (!hz)
            return Answer::status(kInvalid);
        (command == Command::SetFreq ? m_rig.vfos[vfo] : tx).frequency = *hz;
        return {};
    }
    case Command::GetFreq:
        return {kOk, {{"Frequency", frequencyText(m_rig.vfos[vfo].frequency)}}};
    case Command::GetSplitFreq:
        return {kOk, {{"TX Frequency", frequencyText(tx.frequency)}}};
    case Command::SetMode:
    case Command::SetSplitMode:
        return Answer::status(
            setMode(command == Command::SetMode ? m_rig.vfos[vfo] : tx, args[0], args[1])
                ? kOk
                : kInvalid);
    case Command::GetMode:
        return {kOk,
                {{"Mode", m_rig.vfos[vfo].mode},
                 {"Passband", QByteArray::number(m_rig.vfos[vfo].passband)}}};
    case Command::GetSplitMode:
        return {kOk, {{"TX Mode", tx.mode}, {"TX Passband", QByteArray::number(tx.passband)}}};
    case Command::SetVfo:
        if (vfoIndex(args[0]) < 0)
            return Answer::status(kInvalid);
        m_rig.current = vfoIndex(args[0]);
        return {};
    case Command::GetVfo:
        return {kOk, {{"VFO", kVfoNames[m_rig.current]}}};
    case Command::SetSplit: {
        const int split = args[0].toInt(&ok);
        const int txVfo = vfoIndex(args[1]);
        if (!ok || (split != 0 && split != 1) || txVfo < 0)
            return Answer::status(kInvalid);
        m_rig.split = split == 1;
        m_rig.txVfo = txVfo;
        return {};
    }
    case Command::GetSplit:
        return {kOk, {{"Split", m_rig.split ? "1" : "0"}, {"TX VFO", kVfoNames[m_rig.txVfo]}}};
    case Command::SetPtt: {
        // 1 is TX, 2 TX from the microphone, 3 TX data: all key the same line.
        const qint64 ptt = args[0].toLongLong(&ok);
        if (!ok)
            return Answer::status(kInvalid);
        if (ptt == 0) {
            m_keying.remoteRelease(m_client);
            return {};
        }
        switch (m_keying.remoteKey(m_client)) {
        case RemoteKeying::KeyResult::Keyed:
            return {};
        case RemoteKeying::KeyResult::LineFailed:
            return Answer::status(kIoError);
        case RemoteKeying::KeyResult::NoPort:
        case RemoteKeying::KeyResult::Refused:
            break;
        }
        return Answer::status(kRejected);
    }
    case Command::GetPtt:
        return {kOk, {{"PTT", m_keying.lineKeyed() ? "1" : "0"}}};
    case Command::GetPowerStat:
        // Hamlib 4.5 clients take an error here for a rig that is switched off.
        return {kOk, {{"Power Status", "1"}}};
    case Command::GetInfo:
        return {kOk, {{"Info", kInfo}}};
    case Command::GetRit: // none, as dump_state says
        return {kOk, {{"RIT", "0"}}};
    case Command::CheckVfo:
        return {kOk, {{"ChkVFO", "0"}}};
    case Command::DumpState:
        return {kOk, {{nullptr, kDumpState}}};
    case Command::GetLockMode:
        return {kOk, {{"Locked", "0"}}, true};
    case Command::SetVfoOpt: {
        const int on = args[0].toInt(&ok);
        return Answer::status(ok && (on == 0 || on == 1) ? kOk : kInvalid);
    }
    case Command::Quit:
        break;
    }
    return {};
}

} // namespace zptt
