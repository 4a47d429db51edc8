#include "updater/signature.h"

#include <openssl/evp.h>

#include <memory>

namespace lumewell::updater {
namespace {

Error signatureError(int code, const std::string& text) {
  return Error{"updater.signature", code, text};
}

int base64Value(char c) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text) {
  std::vector<uint8_t> out;
  uint32_t buffer = 0;
  int bits = 0;
  size_t padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding > 0) return std::nullopt;  // data after padding
    const int v = base64Value(c);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(buffer >> bits));
      buffer &= (1u << bits) - 1;
    }
  }
  // Leftover bits must be zero padding of the last group, and at most two '='.
  if (padding > 2 || bits >= 6 || buffer != 0) return std::nullopt;
  return out;
}

OptionalError checkSignatureInputs(const std::string& publicKeyBase64,
                                   const std::string& signatureBase64) {
  auto key = decodeBase64(publicKeyBase64);
  if (publicKeyBase64.empty() || !key || key->size() != 32) {
    return signatureError(1,
                          "This build has no valid update signing key, so no update can be "
                          "verified or installed.");
  }
  if (signatureBase64.empty()) {
    return signatureError(2,
                          "The update is not signed (no sparkle:edSignature); it was not "
                          "installed.");
  }
  auto signature = decodeBase64(signatureBase64);
  if (!signature || signature->size() != 64) {
    return signatureError(3, "The update's signature is malformed; it was not installed.");
  }
  return std::nullopt;
}

OptionalError verifyEd25519(const std::string& publicKeyBase64, const std::string& signatureBase64,
                            std::span<const uint8_t> data) {
  if (auto bad = checkSignatureInputs(publicKeyBase64, signatureBase64)) return bad;
  auto key = decodeBase64(publicKeyBase64);
  auto signature = decodeBase64(signatureBase64);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()),
      &EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!pkey || !ctx ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return signatureError(4, "The update's signature could not be checked.");
  }
  // Ed25519 is one-shot: the whole archive is verified in one call.
  if (EVP_DigestVerify(ctx.get(), signature->data(), signature->size(), data.data(), data.size()) !=
      1) {
    return signatureError(5,
                          "The update's signature does not match its archive; it was not "
                          "installed.");
  }
  return std::nullopt;
}

}  // namespace lumewell::updater
