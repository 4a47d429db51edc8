#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace lumewell::updater {

// Strict standard base64 (padding optional, whitespace ignored); none on any other byte.
std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text);

// Checks that a key and a signature are there and well formed, before anything is fetched
// that could never be verified.
[[nodiscard]] OptionalError checkSignatureInputs(const std::string& publicKeyBase64,
                                                 const std::string& signatureBase64);

// Checks an Ed25519 signature (base64 of 64 bytes) over data against a public key (base64 of
// the raw 32-byte key). An empty key, a missing or malformed signature and a mismatch are
// each an error with its own sentence.
[[nodiscard]] OptionalError verifyEd25519(const std::string& publicKeyBase64,
                                          const std::string& signatureBase64,
                                          std::span<const uint8_t> data);

}  // namespace lumewell::updater
