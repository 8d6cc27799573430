#include "kit_signature.h"

#include "kit_record.h"
#include "result_codes.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

const char KIT_MAGIC[] = "KITSIG02";

namespace {

constexpr ULONG HASH_SIZE = 32;
constexpr ULONG HASH_OBJECT_CAPACITY = 1024;  // CNG's SHA-256 object takes a few hundred bytes
constexpr size_t HASH_PIECE = 1u << 30;       // BCryptHashData takes a 32-bit length
constexpr ULONG COORDINATE_SIZE = 32;
constexpr unsigned VERSION_NUMBER_LIMIT = 65535;
constexpr size_t VERSION_DIGITS_LIMIT = 5;

struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    explicit Algorithm(const wchar_t* name)
    {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0)))
            handle = nullptr;
    }
    ~Algorithm()
    {
        if (handle)
            (void)BCryptCloseAlgorithmProvider(handle, 0);  // nothing left to do on failure
    }
};

int sha256(const unsigned char* data, size_t length, unsigned char* hash)
{
    Algorithm algorithm(BCRYPT_SHA256_ALGORITHM);
    DWORD objectSize = 0;
    ULONG got = 0;
    if (!algorithm.handle ||
        !BCRYPT_SUCCESS(BCryptGetProperty(algorithm.handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                          sizeof objectSize, &got, 0)) ||
        objectSize > HASH_OBJECT_CAPACITY)
        return KIT_CHECK_FAILED;
    // Windows 7 wants the caller's memory for the hash object.
    alignas(16) unsigned char object[HASH_OBJECT_CAPACITY];
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.handle, &handle, object, objectSize, nullptr, 0, 0)))
        return KIT_CHECK_FAILED;
    bool hashed = true;
    for (size_t done = 0; hashed && done < length;) {
        size_t piece = length - done < HASH_PIECE ? length - done : HASH_PIECE;
        hashed = BCRYPT_SUCCESS(BCryptHashData(handle, const_cast<PUCHAR>(data + done), static_cast<ULONG>(piece), 0));
        done += piece;
    }
    hashed = hashed && BCRYPT_SUCCESS(BCryptFinishHash(handle, hash, HASH_SIZE, 0));
    (void)BCryptDestroyHash(handle);  // the hash is already out, or the check fails anyway
    return hashed ? KIT_ACCEPTED : KIT_CHECK_FAILED;
}

bool isKey(const char* text, size_t length, const char* key)
{
    return length == strlen(key) && memcmp(text, key, length) == 0;
}

bool isProductCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

bool readProduct(const char* text, size_t length, KitIdentity* identity)
{
    if (length == 0 || length > KIT_PRODUCT_LIMIT)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (!isProductCharacter(text[i]))
            return false;
    }
    memcpy(identity->product, text, length);
    identity->product[length] = '\0';
    return true;
}

bool readVersion(const char* text, size_t length, KitIdentity* identity)
{
    if (length == 0 || length >= KIT_VERSION_CAPACITY)
        return false;
    int count = 0;
    size_t digits = 0;
    unsigned value = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || text[i] == '.') {
            if (digits == 0 || count == KIT_VERSION_NUMBERS)
                return false;
            identity->numbers[count++] = static_cast<unsigned short>(value);
            digits = 0;
            value = 0;
        } else if (text[i] >= '0' && text[i] <= '9' && digits < VERSION_DIGITS_LIMIT) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++digits;
            if (value > VERSION_NUMBER_LIMIT)
                return false;
        } else {
            return false;
        }
    }
    memcpy(identity->version, text, length);
    identity->version[length] = '\0';
    return true;
}

}  // namespace

int parseKitIdentity(const char* text, size_t length, KitIdentity* identity)
{
    if (!identity)
        return RESULT_MISSING_ARGUMENT;
    memset(identity, 0, sizeof *identity);
    if (!text || length == 0 || length > KIT_IDENTITY_LIMIT || text[length - 1] != '\n')
        return KIT_BAD_IDENTITY;
    bool product = false;
    bool version = false;
    bool good = true;
    for (size_t start = 0; good && start < length;) {
        const char* line = text + start;
        size_t end = start;
        while (text[end] != '\n')
            ++end;
        size_t lineLength = end - start;
        start = end + 1;
        const char* equals = static_cast<const char*>(memchr(line, '=', lineLength));
        if (!equals) {
            good = false;
            continue;
        }
        size_t keyLength = static_cast<size_t>(equals - line);
        const char* value = equals + 1;
        size_t valueLength = lineLength - keyLength - 1;
        if (isKey(line, keyLength, "product")) {
            good = !product && readProduct(value, valueLength, identity);
            product = true;
        } else if (isKey(line, keyLength, "version")) {
            good = !version && readVersion(value, valueLength, identity);
            version = true;
        }  // other keys are for other readers
    }
    if (good && product && version)
        return KIT_ACCEPTED;
    memset(identity, 0, sizeof *identity);
    return KIT_BAD_IDENTITY;
}

int compareKitVersions(const KitIdentity& a, const KitIdentity& b)
{
    for (int i = 0; i < KIT_VERSION_NUMBERS; ++i) {
        if (a.numbers[i] != b.numbers[i])
            return a.numbers[i] < b.numbers[i] ? -1 : 1;
    }
    return 0;
}

int verifyKitSignature(const unsigned char* key, const unsigned char* data, size_t length, KitIdentity* identity)
{
    if (!key || !data || !identity)
        return RESULT_MISSING_ARGUMENT;
    memset(identity, 0, sizeof *identity);
    if (length < KIT_TRAILER_SIZE || memcmp(data + length - KIT_MAGIC_SIZE, KIT_MAGIC, KIT_MAGIC_SIZE) != 0)
        return KIT_NOT_SIGNED;
    size_t signedLength = length - KIT_SIGNATURE_SIZE - KIT_MAGIC_SIZE;  // A M L
    unsigned char hash[HASH_SIZE];
    int result = sha256(data, signedLength, hash);
    if (result != KIT_ACCEPTED)
        return result;

    // A BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + KIT_KEY_SIZE];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, COORDINATE_SIZE};
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, key, KIT_KEY_SIZE);
    Algorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    if (!algorithm.handle || !BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                                                 &publicKey, blob, sizeof blob, 0)))
        return KIT_CHECK_FAILED;
    NTSTATUS verified = BCryptVerifySignature(publicKey, nullptr, hash, HASH_SIZE,
                                              const_cast<PUCHAR>(data + signedLength), KIT_SIGNATURE_SIZE, 0);
    (void)BCryptDestroyKey(publicKey);  // the answer is already in
    if (!BCRYPT_SUCCESS(verified))
        return KIT_BAD_SIGNATURE;

    // Signed, so L and M are the vendor's: only its own tools' mistakes can break them.
    size_t identityLength = size_t(data[signedLength - 2]) << 8 | data[signedLength - 1];
    if (identityLength > signedLength - KIT_LENGTH_SIZE)
        return KIT_BAD_IDENTITY;
    return parseKitIdentity(reinterpret_cast<const char*>(data + signedLength - KIT_LENGTH_SIZE - identityLength),
                            identityLength, identity);
}

int checkKit(const unsigned char* data, size_t length, KitIdentity* kit, KitIdentity* installed)
{
    if (!kit || !installed)
        return RESULT_MISSING_ARGUMENT;
    memset(kit, 0, sizeof *kit);
    memset(installed, 0, sizeof *installed);
    const unsigned char* key = kitPublicKey();
    if (!key)
        return KIT_ACCEPTED;
    int result = verifyKitSignature(key, data, length, kit);
    if (result != KIT_ACCEPTED)
        return result;
    if (strcmp(kit->product, kitProduct()) != 0)
        return KIT_OTHER_PRODUCT;
    if (!readKitRecord(installed))
        return KIT_ACCEPTED;  // the first kit of an install directory may be of any version
    return compareKitVersions(*kit, *installed) < 0 ? KIT_OLDER_VERSION : KIT_ACCEPTED;
}

const char* kitSignatureText(int result)
{
    switch (result) {
    case KIT_ACCEPTED:
        return "signed with the vendor's key";
    case KIT_NOT_SIGNED:
        return "no signature";
    case KIT_BAD_SIGNATURE:
        return "the signature does not match";
    case KIT_CHECK_FAILED:
        return "the signature could not be checked";
    case KIT_BAD_IDENTITY:
        return "its product and version cannot be read";
    case KIT_OTHER_PRODUCT:
        return "signed for another product";
    case KIT_OLDER_VERSION:
        return "older than the installed version";
    default:
        return "nothing to check";
    }
}
