#include "errors/core_error.hpp"

#include "errors/surface_texts.hpp"

namespace core_fips {

using namespace surface;

std::string CoreError::message() const {
  switch (kind_) {
    case Kind::Json:
      return kSerdeErrorPrefix + text_ + kDisplayEnd;
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
        return kUtf8InvalidSequence + std::to_string(*utf8_.error_len) + kUtf8BytesFromIndex +
               std::to_string(utf8_.valid_up_to);
      }
      return kUtf8Incomplete + std::to_string(utf8_.valid_up_to);
    case Kind::FipsSelfAttestFailed:
      return kFipsSelfAttestFailed;
    case Kind::Generic:
      return kGenericErrorPrefix + text_ + kDisplayEnd;
  }
  return {};
}

}  // namespace core_fips
