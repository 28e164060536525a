#include "check.h"

#include <algorithm>
#include <functional>
#include <vector>

#include <dravolux/control.h>

#include "app.h"
#include "command.h"
#include "records.h"
#include "status.h"
#include "text.h"

namespace corvessctl {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t RecordBytes = sizeof(dravolux::PortRequest);
constexpr uint32_t OverLong = RecordBytes + 40;
constexpr uint8_t OutputFill = 0xA5;  // the caller's output bytes before a request
constexpr uint8_t InputFill = 0x5A;   // input bytes beyond a record
constexpr uint32_t Step = 100;        // milliseconds between two looks
constexpr uint32_t Patience = 30000;  // how long the bus and the PnP manager may take

// Errors leave the caller's output alone; success and warnings copy back.
constexpr bool IsError(uint32_t status) { return (status >> 30) == 3; }

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A PortRequest with this Size word and name, cut or padded to `length`.
Bytes PortRecord(uint32_t size, const std::string& name, size_t length = RecordBytes) {
    Bytes bytes(RecordBytes, 0);
    Put32(bytes, 0, size);
    std::u16string wide = Utf8ToUtf16(name);
    for (size_t i = 0; i < wide.size() && i + 1 < dravolux::PortNameUnits; ++i) {
        bytes[4 + 2 * i] = static_cast<uint8_t>(wide[i]);
        bytes[5 + 2 * i] = static_cast<uint8_t>(wide[i] >> 8);
    }
    bytes.resize(length, InputFill);
    return bytes;
}

// A 32-bit word, cut or padded to `length`.
Bytes Word(uint32_t value, size_t length = 4) {
    Bytes bytes(4, 0);
    Put32(bytes, 0, value);
    bytes.resize(length, InputFill);
    return bytes;
}

// What the bus hands back for a record it carried out: the record with the
// last unit of Name cleared, as far as the output reaches.
Bytes Echo(const Bytes& record, uint32_t outputLength) {
    Bytes echo(record.begin(), record.begin() + std::min<size_t>(record.size(), RecordBytes));
    echo.resize(RecordBytes, 0);
    echo[RecordBytes - 2] = echo[RecordBytes - 1] = 0;
    echo.resize(std::min(outputLength, RecordBytes));
    return echo;
}

struct Reply {
    uint32_t Status = 0;
    uint32_t Returned = 0;
    Bytes Output;
};

Reply Send(ControlChannel& channel, uint32_t code, const Bytes& input, uint32_t outputLength) {
    Reply reply;
    reply.Output.assign(outputLength, OutputFill);
    reply.Status = channel.Control(code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
                                   outputLength ? reply.Output.data() : nullptr, outputLength, reply.Returned);
    return reply;
}

// One port device as the checks compare them: everything but the status
// words, which the function driver changes when it likes.
std::string Describe(const PortInfo& port) {
    return std::to_string(port.Index) + (port.IsControl ? " control " : " client ") +
           (port.PortName ? Utf16ToUtf8(*port.PortName) : "-") + " pid " + std::to_string(port.ProcessId) + " " +
           (port.ImagePath ? Utf16ToUtf8(*port.ImagePath) : "-") + " " + Hex32(port.Permissions);
}

std::vector<std::string> Describe(const std::vector<PortInfo>& ports) {
    std::vector<std::string> lines;
    for (const PortInfo& port : ports) lines.push_back(Describe(port));
    return lines;
}

struct Listing {
    Bytes Raw;
    std::vector<PortInfo> Ports;
    std::string Error;  // empty when the list was read and parsed
};

Listing ReadListing(ControlChannel& channel) {
    Listing listing;
    uint32_t status = QueryPortsReply(channel, listing.Raw);
    if (!StatusSucceeded(status))
        listing.Error = "QueryPorts answered " + StatusName(status);
    else if (!ParsePortInfo(listing.Raw.data(), listing.Raw.size(), listing.Ports, listing.Error) &&
             listing.Error.empty())
        listing.Error = "the port list is malformed";
    return listing;
}

bool SameText(const std::u16string& a, const std::u16string& b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

std::string Seconds(uint32_t milliseconds) { return std::to_string((milliseconds + 500) / 1000) + " s"; }

class Checker {
public:
    Checker(const std::string& name, ControlChannel& channel, CheckSystem& system, std::ostream& out)
        : name_(name), wide_(Utf8ToUtf16(name)), channel_(channel), system_(system), out_(out) {}

    int Run();

private:
    struct Case {
        std::string What;
        uint32_t Code;
        Bytes Input;
        uint32_t OutputLength;
        uint32_t Expected;
        bool ChangesNothing = true;
    };

    bool Note(bool ok, const std::string& what, const std::string& why = std::string());
    bool Request(const Case& c);
    std::string ReplyProblem(const Case& c, const Reply& reply, const Listing& before);
    bool WaitFor(const std::function<bool(const std::vector<PortInfo>&)>& holds, uint32_t& waited);
    std::vector<Case> Malformed(uint32_t code, const std::string& request);
    void RequestMatrix(bool idle);
    void ExclusiveOpen();
    bool CreateManagedPort();
    void OpenFromTwoProcesses();
    void RemoveManagedPort();
    bool Listed(const std::vector<PortInfo>& ports, uint64_t processId, int opener);
    std::vector<PortInfo> Ours(const std::vector<PortInfo>& ports);

    std::string name_;
    std::u16string wide_;
    ControlChannel& channel_;
    CheckSystem& system_;
    std::ostream& out_;
    int passed_ = 0;
    int failed_ = 0;
    int skipped_ = 0;
};

bool Checker::Note(bool ok, const std::string& what, const std::string& why) {
    if (ok) {
        ++passed_;
        out_ << "ok    " << what << "\n";
    } else {
        ++failed_;
        out_ << "FAIL  " << what << ": " << why << "\n";
    }
    out_.flush();
    return ok;
}

std::vector<PortInfo> Checker::Ours(const std::vector<PortInfo>& ports) {
    std::vector<PortInfo> ours;
    for (const PortInfo& port : ports)
        if (port.PortName && *port.PortName == wide_) ours.push_back(port);
    return ours;
}

bool Checker::Listed(const std::vector<PortInfo>& ports, uint64_t processId, int opener) {
    for (const PortInfo& port : Ours(ports))
        if (!port.IsControl && port.ProcessId == processId && port.ImagePath &&
            SameText(*port.ImagePath, system_.OpenerImage(opener)))
            return true;
    return false;
}

bool Checker::WaitFor(const std::function<bool(const std::vector<PortInfo>&)>& holds, uint32_t& waited) {
    for (waited = 0;; waited += Step) {
        Listing listing = ReadListing(channel_);
        if (listing.Error.empty() && holds(listing.Ports)) return true;
        if (waited >= Patience) return false;
        system_.Pause(Step);
    }
}

std::string Checker::ReplyProblem(const Case& c, const Reply& reply, const Listing& before) {
    if (reply.Status != c.Expected)
        return "answered " + StatusName(reply.Status);
    uint32_t from = IsError(reply.Status) ? 0 : reply.Returned;
    if (from > c.OutputLength) return "returned " + std::to_string(from) + " bytes into a smaller output";
    if (std::any_of(reply.Output.begin() + from, reply.Output.end(), [](uint8_t b) { return b != OutputFill; }))
        return "bytes beyond the reply were written";
    if (IsError(reply.Status)) return std::string();
    Bytes got(reply.Output.begin(), reply.Output.begin() + from);
    if (c.Code == dravolux::IoctlCreatePort || c.Code == dravolux::IoctlRemovePort) {
        if (got != Echo(c.Input, c.OutputLength))
            return "returned " + std::to_string(from) + " bytes that are not the record sent (" +
                   std::to_string(Echo(c.Input, c.OutputLength).size()) + " bytes with the last unit cleared)";
    } else if (c.Code == dravolux::IoctlQueryPorts) {
        std::vector<PortInfo> ports;
        std::string error;
        if (from != before.Raw.size() || !ParsePortInfo(got.data(), got.size(), ports, error) ||
            Describe(ports) != Describe(before.Ports))
            return "returned " + std::to_string(from) + " bytes that are not the port list (" +
                   std::to_string(before.Raw.size()) + " bytes)";
    } else if (from != 0) {
        return "returned " + std::to_string(from) + " bytes, expected none";
    }
    return std::string();
}

// Sends one request and checks its status, its reply, the caller's bytes
// beyond the reply and, unless it is meant to change something, the port
// list. A port that is not started yet answers STATUS_DEVICE_NOT_READY and
// is asked again.
bool Checker::Request(const Case& c) {
    Listing before = ReadListing(channel_);
    Reply reply = Send(channel_, c.Code, c.Input, c.OutputLength);
    for (uint32_t waited = 0; reply.Status == StatusDeviceNotReady && c.Expected != StatusDeviceNotReady &&
                              waited < Patience;
         waited += Step) {
        system_.Pause(Step);
        reply = Send(channel_, c.Code, c.Input, c.OutputLength);
    }
    std::string why = before.Error.empty() ? ReplyProblem(c, reply, before) : before.Error;
    if (why.empty() && c.ChangesNothing) {
        Listing after = ReadListing(channel_);
        if (!after.Error.empty())
            why = after.Error;
        else if (Describe(after.Ports) != Describe(before.Ports))
            why = "the port list changed";
    }
    return Note(why.empty(), c.What + ": " + StatusName(c.Expected), why);
}

// The ways to get a PortRequest wrong; each is refused before it is read.
std::vector<Checker::Case> Checker::Malformed(uint32_t code, const std::string& request) {
    const uint32_t invalid = StatusInvalidParameter;
    return {
        {request + ", no buffers", code, {}, 0, invalid},
        {request + ", 3-byte input", code, PortRecord(RecordBytes, name_, 3), 0, invalid},
        {request + ", 4-byte input with Size 260 in a 260-byte buffer", code, PortRecord(RecordBytes, name_, 4),
         RecordBytes, invalid},
        {request + ", 259-byte input", code, PortRecord(RecordBytes, name_, RecordBytes - 1), RecordBytes, invalid},
        {request + ", Size 0", code, PortRecord(0, name_), RecordBytes, invalid},
        {request + ", Size 259", code, PortRecord(RecordBytes - 1, name_), RecordBytes, invalid},
        {request + ", Size 261", code, PortRecord(RecordBytes + 1, name_), RecordBytes, invalid},
        {request + ", Size 0xFFFFFFFF", code, PortRecord(0xFFFFFFFF, name_), RecordBytes, invalid},
    };
}

// Every request the bus must refuse or serve without a change, on a bus
// without ports (`idle`) or with the checks' port.
void Checker::RequestMatrix(bool idle) {
    const uint32_t invalid = StatusInvalidParameter;
    const std::string where = idle ? " (no port)" : " (" + name_ + " managed)";
    std::vector<Case> cases = Malformed(dravolux::IoctlCreatePort, "CreatePort");
    for (const char* bad : {"", "COM-9", "COM 9", "COM\\9"})
        cases.push_back({std::string("CreatePort, name \"") + bad + "\"", dravolux::IoctlCreatePort,
                         PortRecord(RecordBytes, bad), RecordBytes, invalid});
    if (!idle)
        cases.push_back({"CreatePort " + name_ + " again", dravolux::IoctlCreatePort, PortRecord(RecordBytes, name_),
                         RecordBytes, invalid});
    std::vector<Case> remove = Malformed(dravolux::IoctlRemovePort, "RemovePort");
    cases.insert(cases.end(), remove.begin(), remove.end());
    if (idle) {
        cases.push_back({"RemovePort " + name_, dravolux::IoctlRemovePort, PortRecord(RecordBytes, name_), RecordBytes,
                         StatusNoSuchDevice});
    } else {
        std::string lower = name_;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        if (lower != name_)
            cases.push_back({"RemovePort " + lower, dravolux::IoctlRemovePort, PortRecord(RecordBytes, lower),
                             RecordBytes, invalid});
        cases.push_back({"RemovePort " + name_ + "0", dravolux::IoctlRemovePort, PortRecord(RecordBytes, name_ + "0"),
                         RecordBytes, invalid});
    }

    uint32_t listSize = static_cast<uint32_t>(ReadListing(channel_).Raw.size());
    const uint32_t query = dravolux::IoctlQueryPorts;
    cases.push_back({"QueryPorts, no buffers", query, {}, 0, invalid});
    cases.push_back({"QueryPorts, 3-byte input", query, Word(dravolux::QueryAllPorts, 3), 128, invalid});
    for (uint32_t type : {0u, 2u, 0xFFFFFFFFu})
        cases.push_back({"QueryPorts, QueryType " + Hex32(type), query, Word(type), 128, invalid});
    cases.push_back({"QueryPorts, output of the list's " + std::to_string(listSize) + " bytes", query,
                     Word(dravolux::QueryAllPorts), listSize, StatusSuccess});
    cases.push_back({"QueryPorts, output one byte short", query, Word(dravolux::QueryAllPorts), listSize - 1,
                     StatusBufferTooSmall});
    cases.push_back({"QueryPorts, no output", query, Word(dravolux::QueryAllPorts), 0, StatusBufferTooSmall});
    cases.push_back({"QueryPorts, 8-byte input and over-long output", query, Word(dravolux::QueryAllPorts, 8),
                     listSize + 64, StatusSuccess});

    // With ports on the bus RemoveAllPorts would remove them; it is asked
    // while they are open instead.
    for (uint32_t code : {dravolux::IoctlRemoveAllPorts, dravolux::IoctlReloadPermissions}) {
        if (code == dravolux::IoctlRemoveAllPorts && !idle) continue;
        std::string request = code == dravolux::IoctlRemoveAllPorts ? "RemoveAllPorts" : "ReloadPermissions";
        cases.push_back({request + ", no buffers", code, {}, 0, StatusSuccess});
        cases.push_back({request + ", 4-byte input and output", code, Word(0), 4, StatusSuccess});
    }

    // Codes the bus does not serve, each carrying a good CreatePort record.
    for (uint32_t code : {dravolux::ControlCode(5), dravolux::IoctlCreatePort | 3u, dravolux::IoctlCreatePort | 0xC000u,
                          0x00220000u})
        cases.push_back({"control code " + Hex32(code) + " with a CreatePort record", code,
                         PortRecord(RecordBytes, name_), RecordBytes, invalid});

    for (Case& c : cases) {
        c.What += where;
        Request(c);
    }
}

void Checker::ExclusiveOpen() {
    const std::string what = "a second open of the control device is refused";
    uint32_t status = system_.OpenControlAgain();
    std::string caveat = system_.ExclusiveOpenCaveat();
    if (status != StatusAccessDenied && StatusSucceeded(status) && !caveat.empty()) {
        ++skipped_;
        out_ << "skip  " << what << ": " << caveat << "\n";
        return;
    }
    Note(status == StatusAccessDenied, what + " (STATUS_ACCESS_DENIED)", "answered " + StatusName(status));
}

bool Checker::CreateManagedPort() {
    Case create = {"CreatePort " + name_ + " with over-long buffers", dravolux::IoctlCreatePort,
                   PortRecord(RecordBytes, name_, OverLong), OverLong, StatusSuccess, false};
    if (!Request(create)) return false;
    Listing listing = ReadListing(channel_);
    std::vector<PortInfo> ours = Ours(listing.Ports);
    auto fresh = [](const PortInfo& port, bool control) {
        return port.IsControl == control && port.ProcessId == 0 && !port.ImagePath &&
               port.Permissions == (control ? 7u : 0u);
    };
    bool pair = ours.size() == 2 && listing.Ports.size() == 2 &&
                ((fresh(ours[0], false) && fresh(ours[1], true)) || (fresh(ours[0], true) && fresh(ours[1], false)));
    Note(pair, "the port list shows " + name_ + "'s control port (permissions 7) and one waiting client",
         listing.Error.empty() ? std::to_string(listing.Ports.size()) + " port devices listed" : listing.Error);
    return true;
}

void Checker::OpenFromTwoProcesses() {
    const char* who[2] = {"this process", "another process"};
    uint64_t pid[2] = {0, 0};
    int opened = 0;
    for (int opener = 0; opener < 2; ++opener) {
        uint32_t status = StatusUnsuccessful;
        uint32_t waited = 0;
        for (;; waited += Step) {
            status = system_.OpenPort(opener, name_, pid[opener]);
            if (StatusSucceeded(status) || waited >= Patience) break;
            system_.Pause(Step);
        }
        if (!Note(StatusSucceeded(status), "\\\\.\\" + name_ + " opens from " + who[opener],
                  "still " + StatusName(status) + " after " + Seconds(waited)))
            break;
        ++opened;
        std::string image = Utf16ToUtf8(system_.OpenerImage(opener));
        Note(WaitFor(
                 [&](const std::vector<PortInfo>& ports) {
                     bool waiting = false;
                     for (const PortInfo& port : Ours(ports)) waiting |= !port.IsControl && port.ProcessId == 0;
                     return Listed(ports, pid[opener], opener) && (opener == 0 || Listed(ports, pid[0], 0)) &&
                            waiting;
                 },
                 waited),
             "the port list shows pid " + std::to_string(pid[opener]) + " (" + image + ") on a client of " + name_ +
                 " and a fresh waiting client",
             "not after " + Seconds(waited));
    }
    if (opened == 2) {
        Note(pid[0] != pid[1], "the two openers are listed with their own pids", "both have pid " +
                                                                                    std::to_string(pid[0]));
        const Bytes record = PortRecord(RecordBytes, name_);
        Request({"RemovePort " + name_ + " while open", dravolux::IoctlRemovePort, record, RecordBytes,
                 StatusDeviceBusy});
        Request({"RemoveAllPorts while open", dravolux::IoctlRemoveAllPorts, {}, 0, StatusDeviceBusy});
        Request({"ReloadPermissions while open", dravolux::IoctlReloadPermissions, {}, 0, StatusSuccess});
    }
    for (int opener = 0; opener < opened; ++opener) {
        system_.ClosePort(opener);
        uint32_t waited = 0;
        Note(WaitFor(
                 [&](const std::vector<PortInfo>& ports) {
                     for (const PortInfo& port : ports)
                         if (port.ProcessId == pid[opener]) return false;
                     return opener + 1 >= opened || Listed(ports, pid[opener + 1], opener + 1);
                 },
                 waited),
             "pid " + std::to_string(pid[opener]) + " leaves the port list after it closes the port",
             "still listed after " + Seconds(waited));
    }
}

void Checker::RemoveManagedPort() {
    Request({"RemovePort " + name_ + " with over-long buffers", dravolux::IoctlRemovePort,
             PortRecord(RecordBytes, name_, OverLong), OverLong, StatusSuccess, false});
    uint32_t waited = 0;
    Note(WaitFor([&](const std::vector<PortInfo>& ports) { return ports.empty(); }, waited),
         name_ + "'s port devices leave the port list", "still listed after " + Seconds(waited));
    Request({"RemovePort " + name_ + " once more", dravolux::IoctlRemovePort, PortRecord(RecordBytes, name_),
             RecordBytes, StatusNoSuchDevice});
}

int Checker::Run() {
    out_ << "checking the bus through \\\\.\\SerialCorvessControl with the port " << name_ << "\n";
    uint32_t status = channel_.Open();
    if (Note(StatusSucceeded(status), "the control device opens", StatusWords(status) + " (" + StatusName(status) + ")")) {
        Listing start = ReadListing(channel_);
        bool empty = start.Error.empty() && start.Ports.empty();
        if (Note(empty, "the bus manages no port",
                 start.Error.empty() ? std::to_string(start.Ports.size()) +
                                           " port devices listed; run the checks on a bus without managed ports"
                                     : start.Error)) {
            uint64_t unused = 0;
            uint32_t before = system_.OpenPort(0, name_, unused);
            system_.ClosePort(0);
            out_ << "      \\\\.\\" << name_ << " before the checks: " << StatusName(before) << "\n";

            ExclusiveOpen();
            RequestMatrix(true);
            if (CreateManagedPort()) {
                RequestMatrix(false);
                OpenFromTwoProcesses();
                RemoveManagedPort();
            }
            uint32_t after = StatusUnsuccessful;
            uint32_t waited = 0;
            for (;; waited += Step) {
                after = system_.OpenPort(0, name_, unused);
                system_.ClosePort(0);
                if (after == before || waited >= Patience) break;
                system_.Pause(Step);
            }
            Note(after == before, "\\\\.\\" + name_ + " answers " + StatusName(before) + " again, as before",
                 "it answers " + StatusName(after));
        }
        channel_.Close();
        status = channel_.Open();
        Note(StatusSucceeded(status), "the control device opens again once closed", StatusName(status));
        channel_.Close();
    }
    if (skipped_) out_ << skipped_ << " skipped\n";
    out_ << passed_ << " passed, " << failed_ << " failed\n";
    return failed_ ? ExitRefused : ExitOk;
}

}  // namespace

int RunCheck(const std::string& name, ControlChannel& channel, CheckSystem& system, std::ostream& out) {
    Checker checker(name, channel, system, out);
    return checker.Run();
}

}  // namespace corvessctl
