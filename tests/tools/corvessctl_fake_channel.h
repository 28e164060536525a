// A control channel that answers from a script, for the management
// program's tests, and a builder of QueryPorts replies.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/channel.h"
#include "core/status.h"

namespace corvessctl_test {

struct SentRequest {
    uint32_t Code;
    std::vector<uint8_t> Input;
    uint32_t OutputLength;
};

class FakeChannel : public corvessctl::ControlChannel {
public:
    // Answers one request: fills `output`, sets `returned`, gives a status.
    using Answer = std::function<uint32_t(const SentRequest&, uint8_t* output, uint32_t& returned)>;

    uint32_t OpenStatus = corvessctl::StatusSuccess;
    Answer Reply = [](const SentRequest&, uint8_t*, uint32_t& returned) {
        returned = 0;
        return corvessctl::StatusSuccess;
    };
    std::vector<SentRequest> Sent;
    int Opens = 0;
    int Closes = 0;

    uint32_t Open() override {
        ++Opens;
        return OpenStatus;
    }
    uint32_t Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                     uint32_t& returned) override {
        const uint8_t* in = static_cast<const uint8_t*>(input);
        Sent.push_back({code, std::vector<uint8_t>(in, in + inputLength), outputLength});
        return Reply(Sent.back(), static_cast<uint8_t*>(output), returned);
    }
    void Close() override { ++Closes; }
};

// Builds the bytes of a QueryPorts reply record by record.
class ReplyBuilder {
public:
    ReplyBuilder& Port(uint32_t index, bool control, const std::u16string* name, const std::u16string* path,
                       uint64_t pid = 0, uint32_t permissions = 0, uint32_t status1 = 0, uint32_t status2 = 0) {
        uint32_t n = name ? static_cast<uint32_t>((name->size() + 1) * 2) : 0;
        uint32_t p = path ? static_cast<uint32_t>((path->size() + 1) * 2) : 0;
        size_t at = bytes_.size();
        bytes_.resize(at + 48 + n + p, 0);
        Put32(at + 0, 48 + n + p);
        Put32(at + 4, index);
        Put32(at + 8, control ? 1 : 0);
        Put32(at + 12, name ? 48 : 0);
        Put32(at + 16, path ? 48 + n : 0);
        Put32(at + 24, static_cast<uint32_t>(pid));
        Put32(at + 28, static_cast<uint32_t>(pid >> 32));
        Put32(at + 32, permissions);
        Put32(at + 36, status1);
        Put32(at + 40, status2);
        if (name) PutText(at + 48, *name);
        if (path) PutText(at + 48 + n, *path);
        return *this;
    }
    std::vector<uint8_t> Finish() const {
        std::vector<uint8_t> out = bytes_;
        out.resize(out.size() + 4, 0);
        return out;
    }

private:
    void Put32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    void PutText(size_t at, const std::u16string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            bytes_[at + 2 * i] = static_cast<uint8_t>(text[i]);
            bytes_[at + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
        }
    }
    std::vector<uint8_t> bytes_;
};

// An answer that serves `reply` to QueryPorts as the bus does: all of it when
// the output holds it, else STATUS_BUFFER_TOO_SMALL and nothing.
inline FakeChannel::Answer ServeList(std::vector<uint8_t> reply) {
    return [reply](const SentRequest& request, uint8_t* output, uint32_t& returned) -> uint32_t {
        if (request.OutputLength < reply.size()) {
            returned = 0;
            return corvessctl::StatusBufferTooSmall;
        }
        std::memcpy(output, reply.data(), reply.size());
        returned = static_cast<uint32_t>(reply.size());
        return corvessctl::StatusSuccess;
    };
}

}  // namespace corvessctl_test
