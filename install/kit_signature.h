// Signed update kits. A kit is A M L r s "KITSIG02":
//   A  the 7z archive, unchanged;
//   M  lines "key=value\n" (UTF-8, at most 1024 bytes) naming the kit's product and version,
//      each exactly once, in any order; other keys are ignored;
//   L  the length of M, 2 bytes, big-endian;
//   r s  an ECDSA P-256 signature over SHA-256 of A M L, 32 bytes each, big-endian;
//   and the 8 ASCII bytes "KITSIG02".
// A product is 1 to 64 characters of A-Z a-z 0-9 . _ -; a version is 1 to 4 decimal numbers
// from 0 to 65535 joined by ".", compared number by number with a missing number as 0. A 7z
// reader ignores bytes after the archive, so a signed kit also installs with a program built
// without a key. Checked with the platform's cryptography (CNG).
#pragma once

#include <cstddef>

constexpr size_t KIT_SIGNATURE_SIZE = 64;
constexpr size_t KIT_MAGIC_SIZE = 8;
constexpr size_t KIT_LENGTH_SIZE = 2;
constexpr size_t KIT_TRAILER_SIZE = KIT_LENGTH_SIZE + KIT_SIGNATURE_SIZE + KIT_MAGIC_SIZE;  // all but M
constexpr size_t KIT_IDENTITY_LIMIT = 1024;  // bytes of M
constexpr size_t KIT_PRODUCT_LIMIT = 64;
constexpr int KIT_VERSION_NUMBERS = 4;
constexpr size_t KIT_VERSION_CAPACITY = 24;  // "65535.65535.65535.65535" and its terminator
constexpr size_t KIT_KEY_SIZE = 64;          // the public point: X then Y, 32 bytes each, big-endian
extern const char KIT_MAGIC[];               // "KITSIG02", without a terminator in the kit

// A kit's product and version, as M names them.
struct KitIdentity {
    char product[KIT_PRODUCT_LIMIT + 1];  // empty: no identity (a program built without a key)
    char version[KIT_VERSION_CAPACITY];   // as written in M
    unsigned short numbers[KIT_VERSION_NUMBERS];  // missing numbers are 0
};

// Results, in the program's own range beside those of result_codes.h.
constexpr int KIT_ACCEPTED = 0;         // the kit may be installed, or the program has no key
constexpr int KIT_NOT_SIGNED = 470;     // shorter than a trailer, or it ends in another magic (KITSIG01 too)
constexpr int KIT_BAD_SIGNATURE = 471;  // the signature does not verify with the key
constexpr int KIT_CHECK_FAILED = 472;   // the platform's cryptography refused the key or the hash
constexpr int KIT_BAD_IDENTITY = 473;   // signed, but M does not name a product and a version by the rules
constexpr int KIT_OTHER_PRODUCT = 474;  // signed for another product than the program's
constexpr int KIT_OLDER_VERSION = 475;  // older than the kit last installed in the install directory

// The vendor's public key built into the program (KIT_KEY_SIZE bytes), or null for a program
// built without one; the product the program is built for ("" without a key). Defined in a
// source file generated when the build is configured.
const unsigned char* kitPublicKey();
const char* kitProduct();

// Reads M (length bytes, not terminated) into identity: KIT_ACCEPTED, or KIT_BAD_IDENTITY
// with identity cleared.
[[nodiscard]] int parseKitIdentity(const char* text, size_t length, KitIdentity* identity);

// Below zero, zero or above zero as version a is lower than, equal to or higher than b.
int compareKitVersions(const KitIdentity& a, const KitIdentity& b);

// Verifies a whole kit of length bytes with the public point key and reads its M into identity:
// KIT_ACCEPTED, KIT_NOT_SIGNED, KIT_BAD_SIGNATURE, KIT_CHECK_FAILED, KIT_BAD_IDENTITY, or
// RESULT_MISSING_ARGUMENT for a null key, data or identity. identity is cleared unless accepted.
[[nodiscard]] int verifyKitSignature(const unsigned char* key, const unsigned char* data, size_t length,
                                     KitIdentity* identity);

// The check before a downloaded kit is saved. With the built-in key: verifyKitSignature, then
// KIT_OTHER_PRODUCT unless kit names kitProduct(), then KIT_OLDER_VERSION when it is older than
// the record of the current directory (kit_record.h), which goes into installed (cleared when
// there is none). Without a key: KIT_ACCEPTED, checking nothing, both identities cleared.
[[nodiscard]] int checkKit(const unsigned char* data, size_t length, KitIdentity* kit, KitIdentity* installed);

// Why a kit was refused, for the log: a short narrow text for any of the codes above.
const char* kitSignatureText(int result);
