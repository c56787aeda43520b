// The key agreement inside the call set-up (docs/encryption.md). The caller announces
// kCapEncrypt and a nonce in its connect request; a callee that can encrypt answers with its key
// half in MSG_RINGING and MSG_ACCEPT; the caller answers each of those with its own half in
// MSG_KEY. A peer without the extension never sees any of it.

#include "engine/Handshake.h"

#include <algorithm>

#include "util/Statistics.h"
#include "wire/SecureRecords.h"

using namespace zorvo::wire;

std::optional<CallKeys> Handshake::Keys() const {
    return m_agreement ? m_agreement->Keys() : std::nullopt;
}

uint8_t Handshake::_Capabilities() {
    m_agreement.reset();
    if (m_identity == nullptr) {
        return m_capabilities;
    }
    m_agreement = std::make_unique<KeyAgreement>(KeyAgreement::Role::kCaller, *m_identity);
    return m_capabilities | kCapEncrypt;
}

// --- caller ----------------------------------------------------------------------------------

bool Handshake::_TakeCalleeHalf(const ZorvoMsg& reply, bool accepted) {
    if (!m_agreement) {
        return true;
    }
    if (!m_agreement->Keys()) {
        const std::optional<KeyHalf> half = ReadKeyHalf(reply);
        if (half && m_agreement->TakePeerHalf(*half)) {
            m_keyRecordSize =
                BuildKeyRecord(m_keyRecord, sizeof m_keyRecord, MSG_KEY, *m_agreement->OwnHalf());
        } else if (half) {
            m_report.Debug("Ignoring a key half whose signature does not verify");
        }
    }
    if (m_agreement->Keys()) {
        ResendKeyHalf();
        return true;
    }
    if (accepted && m_encryptionRequired) {
        uint8_t hangup[kHeaderSize];
        m_link.Send(hangup, BuildRecord(hangup, sizeof hangup, MSG_HANGUP));
        m_report.Debug("The callee cannot encrypt the call: hung up");
        m_report.Status(STATUS_CONNECT_FAILED, 0);
        return false;
    }
    return true;
}

void Handshake::ResendKeyHalf() {
    if (m_keyRecordSize != 0) {
        m_link.Send(m_keyRecord, m_keyRecordSize);
    }
}

// --- callee ----------------------------------------------------------------------------------

bool Handshake::_OfferKeys(const ZorvoMsg& request) {
    m_agreement.reset();
    if (m_identity == nullptr) {
        return true;
    }
    CallNonce nonce{};
    if ((ConnectRequestCapabilities(request) & kCapEncrypt) == 0 ||
        !ConnectRequestNonce(request, nonce.data())) {
        return !m_encryptionRequired;
    }
    m_agreement = std::make_unique<KeyAgreement>(KeyAgreement::Role::kCallee, *m_identity);
    m_agreement->SetNonce(nonce);
    return true;
}

std::size_t Handshake::_BuildAnswer(uint8_t* buffer, std::size_t capacity, uint8_t type) const {
    if (!m_agreement || type == MSG_REJECT) {
        return BuildRecord(buffer, capacity, type);
    }
    return BuildKeyRecord(buffer, capacity, type, *m_agreement->OwnHalf());
}

bool Handshake::_KeyPending() const {
    return m_agreement && !m_agreement->Keys();
}

bool Handshake::_WaitAnswering(uint32_t milliseconds) {
    return _KeyPending() ? _ListenForKey(milliseconds) : m_link.Pause(milliseconds);
}

bool Handshake::_ListenForKey(uint32_t milliseconds) {
    const uint64_t end = UdpLink::NowMs() + milliseconds;
    uint8_t buffer[kSetupBufferSize];
    for (uint64_t now = UdpLink::NowMs(); now < end && _KeyPending(); now = UdpLink::NowMs()) {
        uint32_t received = sizeof buffer;
        sockaddr_in from{};
        UdpLink::Fault fault;
        const int n =
            m_link.Receive(buffer, &received, static_cast<uint32_t>(end - now), &from, &fault);
        if (m_state.Stopping()) {
            return false;
        }
        if (n < 0) {
            // A broken socket: the rest of the wait passes without it.
            return m_link.Pause(static_cast<uint32_t>(end - std::min(end, UdpLink::NowMs())));
        }
        if (n > 0 && m_link.FromPeer(from)) {
            _JudgeKeyRecord(buffer, received);
        }
    }
    return !m_state.Stopping();
}

void Handshake::_JudgeKeyRecord(const uint8_t* buffer, uint32_t size) {
    const ZorvoMsg record(const_cast<uint8_t*>(buffer), size);
    if (!record.IsWellFormed()) {
        return;
    }
    if (record.Type() == MSG_CONNECT_REQUEST) {
        // The caller asks again: the ringing answer, and the key half in it, was lost.
        uint8_t ringing[kHeaderSize + kKeyHalfPayload];
        m_link.Send(ringing, _BuildAnswer(ringing, sizeof ringing, MSG_RINGING));
        return;
    }
    const std::optional<KeyHalf> half = ReadKeyHalf(record);
    if (record.Type() == MSG_KEY && half && !m_agreement->TakePeerHalf(*half)) {
        m_report.Debug("Ignoring a key half whose signature does not verify");
    }
}

bool Handshake::_AwaitLateKey(const uint8_t* answer, std::size_t size) {
    const uint32_t step = std::max<uint32_t>(1, m_timing.answerPauseMs);
    for (uint32_t waited = 0; _KeyPending() && waited < m_timing.keyWaitMs; waited += step) {
        m_link.Send(answer, size);
        if (!_ListenForKey(step)) {
            return false;
        }
    }
    return !_KeyPending();
}
