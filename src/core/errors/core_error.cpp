#include "errors/core_error.hpp"

namespace core_fips {

std::string CoreError::message() const {
  switch (kind_) {
    case Kind::Json:
      return "Serde error: " + text_ + " \n";
    case Kind::InvalidPublicKey:
      return "Invalid public key";
    case Kind::RsaKeyTooSmall:
      return "RSA key is below the minimum FIPS-approved size (2048 bits)";
    case Kind::Aead:
      return "AEAD error";
    case Kind::EncryptionFailed:
      return "Encryption failed";
    case Kind::DecryptionFailed:
      return "Decryption failed";
    case Kind::MalformedData:
      return "Malformed data";
    case Kind::Utf8:
      if (utf8_.error_len) {
        return "UTF8 error: invalid utf-8 sequence of " + std::to_string(*utf8_.error_len) +
               " bytes from index " + std::to_string(utf8_.valid_up_to);
      }
      return "UTF8 error: incomplete utf-8 byte sequence from index " +
             std::to_string(utf8_.valid_up_to);
    case Kind::FipsSelfAttestFailed:
      return "System FIPS mode is not configured correctly. Rust FIPS self-attest failed.";
    case Kind::Generic:
      return "Generic error: " + text_ + " \n";
  }
  return {};
}

}  // namespace core_fips
