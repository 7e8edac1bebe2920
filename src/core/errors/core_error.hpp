// CoreError: the one enumeration of expected failures of the module's operations. Plain data, no
// Python objects: it is created and moved on threads that do not hold the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace core_fips {

class CoreError {
 public:
  // Declared order is part of the contract.
  enum class Kind : std::uint8_t {
    Json,
    InvalidPublicKey,
    RsaKeyTooSmall,
    Aead,
    EncryptionFailed,
    DecryptionFailed,
    MalformedData,
    Utf8,
    FipsSelfAttestFailed,
    Generic,
  };

  // A UTF-8 decoding failure: the length of the valid prefix and the length of the bad sequence
  // (absent when the input ended inside a sequence).
  struct Utf8Failure {
    std::size_t valid_up_to = 0;
    std::optional<std::uint8_t> error_len;
  };

  static CoreError json(std::string codec_message) {
    return CoreError(Kind::Json, std::move(codec_message));
  }
  static CoreError invalid_public_key() { return CoreError(Kind::InvalidPublicKey); }
  static CoreError rsa_key_too_small() { return CoreError(Kind::RsaKeyTooSmall); }
  static CoreError aead() { return CoreError(Kind::Aead); }
  static CoreError encryption_failed() { return CoreError(Kind::EncryptionFailed); }
  static CoreError decryption_failed() { return CoreError(Kind::DecryptionFailed); }
  static CoreError malformed_data() { return CoreError(Kind::MalformedData); }
  static CoreError utf8(Utf8Failure failure) {
    CoreError e(Kind::Utf8);
    e.utf8_ = failure;
    return e;
  }
  static CoreError fips_self_attest_failed() { return CoreError(Kind::FipsSelfAttestFailed); }
  static CoreError generic(std::string text) { return CoreError(Kind::Generic, std::move(text)); }

  Kind kind() const { return kind_; }
  const Utf8Failure& utf8_failure() const { return utf8_; }
  const std::string& text() const { return text_; }

  // The display text of the kind, character for character.
  std::string message() const;

 private:
  explicit CoreError(Kind kind, std::string text = {}) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;  // Json: the codec's message; Generic: the caller's text
  Utf8Failure utf8_;
};

}  // namespace core_fips
