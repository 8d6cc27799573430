#include "kit_signature.h"

#include "result_codes.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

const char KIT_MAGIC[] = "KITSIG01";

namespace {

constexpr ULONG HASH_SIZE = 32;
constexpr ULONG HASH_OBJECT_CAPACITY = 1024;  // CNG's SHA-256 object takes a few hundred bytes
constexpr size_t HASH_PIECE = 1u << 30;       // BCryptHashData takes a 32-bit length
constexpr ULONG COORDINATE_SIZE = 32;

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

}  // namespace

int verifyKitSignature(const unsigned char* key, const unsigned char* data, size_t length)
{
    if (!key || !data)
        return RESULT_MISSING_ARGUMENT;
    if (length < KIT_TRAILER_SIZE || memcmp(data + length - KIT_MAGIC_SIZE, KIT_MAGIC, KIT_MAGIC_SIZE) != 0)
        return KIT_NOT_SIGNED;
    size_t archiveLength = length - KIT_TRAILER_SIZE;
    unsigned char hash[HASH_SIZE];
    int result = sha256(data, archiveLength, hash);
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
                                              const_cast<PUCHAR>(data + archiveLength), KIT_SIGNATURE_SIZE, 0);
    (void)BCryptDestroyKey(publicKey);  // the answer is already in
    return BCRYPT_SUCCESS(verified) ? KIT_ACCEPTED : KIT_BAD_SIGNATURE;
}

int checkKitSignature(const unsigned char* data, size_t length)
{
    const unsigned char* key = kitPublicKey();
    return key ? verifyKitSignature(key, data, length) : KIT_ACCEPTED;
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
    default:
        return "nothing to check";
    }
}
