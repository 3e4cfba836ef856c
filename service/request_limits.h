// Request sizes the service accepts, shared by the core, the HTTPS front and
// the tests that drive them.
#pragma once

#include <cstddef>

namespace kx::service {

// Signalling sizes, derived from the largest request a peer makes: one post of
// 16 sealed signals, an offer whose SDP is at the peers' 48,000-byte limit and
// 15 candidates at their 4,096-byte limit.
inline constexpr size_t kMaxSdpBytes = 48000;
inline constexpr size_t kMaxCandidateBytes = 4096;
inline constexpr size_t kMaxSignalsPerDevicePost = 16;
inline constexpr size_t kMaxSignalsPerConsolePost = 8;
// Base64 of an AES-GCM envelope (12-byte nonce, 16-byte tag) of `json` bytes.
constexpr size_t sealedSignalBytes(size_t json) { return (json + 28 + 2) / 3 * 4; }
// An SDP line is at least "x=y\r\n" and JSON writes its line end as four
// characters: the SDP grows by at most 7/5. The rest of a signal (type,
// message id, candidate fields) stays under 256 bytes.
inline constexpr size_t kMaxSignalPayloadBytes = sealedSignalBytes(kMaxSdpBytes * 7 / 5 + 256);
inline constexpr size_t kMaxCandidatePayloadBytes = sealedSignalBytes(kMaxCandidateBytes + 256);
// The largest request body: that signal post with its session id and JSON punctuation.
inline constexpr size_t kMaxRequestBodyBytes = 256 + kMaxSignalsPerDevicePost * 4 + kMaxSignalPayloadBytes +
                                               (kMaxSignalsPerDevicePost - 1) * kMaxCandidatePayloadBytes;

}  // namespace kx::service
