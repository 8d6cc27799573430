// Signed update kits. A kit is the 7z archive A, then a 64-byte signature S, then the 8 ASCII
// bytes "KITSIG01". S is an ECDSA P-256 signature over SHA-256(A): r then s, 32 bytes each,
// big-endian. A 7z reader ignores bytes after the archive, so a signed kit also installs with
// a program built without a key. Checked with the platform's cryptography (CNG).
#pragma once

#include <cstddef>

constexpr size_t KIT_SIGNATURE_SIZE = 64;
constexpr size_t KIT_MAGIC_SIZE = 8;
constexpr size_t KIT_TRAILER_SIZE = KIT_SIGNATURE_SIZE + KIT_MAGIC_SIZE;
constexpr size_t KIT_KEY_SIZE = 64;  // the public point: X then Y, 32 bytes each, big-endian
extern const char KIT_MAGIC[];       // "KITSIG01", without a terminator in the kit

// Results, in the program's own range beside those of result_codes.h.
constexpr int KIT_ACCEPTED = 0;         // the signature verifies, or the program has no key
constexpr int KIT_NOT_SIGNED = 470;     // shorter than the trailer, or the trailer ends in another magic
constexpr int KIT_BAD_SIGNATURE = 471;  // the signature does not verify with the key
constexpr int KIT_CHECK_FAILED = 472;   // the platform's cryptography refused the key or the hash

// The vendor's public key built into the program (KIT_KEY_SIZE bytes), or null for a program
// built without one. Defined in a source file generated when the build is configured.
const unsigned char* kitPublicKey();

// Verifies a whole kit of length bytes with the public point key: KIT_ACCEPTED, KIT_NOT_SIGNED,
// KIT_BAD_SIGNATURE, KIT_CHECK_FAILED, or RESULT_MISSING_ARGUMENT for a null key or data.
[[nodiscard]] int verifyKitSignature(const unsigned char* key, const unsigned char* data, size_t length);

// verifyKitSignature with the built-in key; KIT_ACCEPTED, checking nothing, without one.
[[nodiscard]] int checkKitSignature(const unsigned char* data, size_t length);

// Why a kit was refused, for the log: a short narrow text for any of the codes above.
const char* kitSignatureText(int result);
