/*
 * Pelkit: the helper library that the client core binds at start (Pelkit.dll,
 * libpelkit.so on Linux). The core looks its seven entry points up by name and
 * calls none of them; they are offered to hosts and tools.
 *
 * Every entry point uses the C calling convention (cdecl), is exported by its
 * undecorated name and returns one of the PELKIT_* results below. Lengths are
 * in bytes. Nothing is allocated for the caller: outputs go into buffers the
 * caller provides, and an output that does not fit is not written in part.
 *
 * Implemented: SHA-256 and MD5 digests, RC4, Base64 decoding.
 * Not supported in this build (they return PELKIT_E_NOT_SUPPORTED and write
 * nothing): Pelkit_Utf2AscII and Pelkit_UnzipFile.
 */
#ifndef PELKIT_H
#define PELKIT_H

#include <stdint.h>

#ifdef _WIN32
#ifdef PELKIT_BUILDING
#define PELKIT_API __declspec(dllexport)
#else
#define PELKIT_API __declspec(dllimport)
#endif
#define PELKIT_CALL __cdecl
#else
#define PELKIT_API __attribute__((visibility("default")))
#define PELKIT_CALL
#endif

#define PELKIT_OK 1
#define PELKIT_E_ARGUMENT (-1)       /* a null pointer where data is needed */
#define PELKIT_E_BUFFER (-2)         /* the output buffer is too small */
#define PELKIT_E_FORMAT (-3)         /* the input is not valid (Base64 text) */
#define PELKIT_E_IO (-4)             /* the file cannot be opened or read */
#define PELKIT_E_NOT_SUPPORTED (-50) /* the operation is not available */

#define PELKIT_SHA256_SIZE 32
#define PELKIT_MD5_SIZE 16

#ifdef __cplusplus
extern "C" {
#endif

/* SHA-256 digest of `length` bytes at `data` into `digest` (32 bytes).
 * `data` may be null when `length` is 0. */
PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_sha256(const void* data, uint32_t length, uint8_t* digest);

/* RC4 with the key of `keyLength` (1 to 256) bytes, applied to `length` bytes
 * of `input` into `output` (which may be `input`). RC4 is its own inverse:
 * the same call encrypts and decrypts. */
PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_rc4(const uint8_t* key, uint32_t keyLength, const void* input,
                                                  void* output, uint32_t length);

/* Decodes the Base64 text of `textLength` characters (standard alphabet,
 * '=' padding; CR, LF, tab and space are skipped) into `output`, which holds
 * `capacity` bytes; `*outputLength` receives the decoded length. A text with
 * other characters, misplaced padding or a dangling final character gives
 * PELKIT_E_FORMAT; an output too small gives PELKIT_E_BUFFER with
 * `*outputLength` set to the length needed. */
PELKIT_API int32_t PELKIT_CALL Pelkit_DeCrypt_Base64(const char* text, uint32_t textLength, uint8_t* output,
                                                     uint32_t capacity, uint32_t* outputLength);

/* Would convert the NUL-terminated UTF-8 text `utf8` into the system's ANSI
 * code page in `output` (`capacity` bytes). Not supported: returns
 * PELKIT_E_NOT_SUPPORTED and writes nothing. */
PELKIT_API int32_t PELKIT_CALL Pelkit_Utf2AscII(const char* utf8, char* output, uint32_t capacity);

/* Would extract the zip archive at `archivePath` into the directory
 * `destinationDirectory`. Not supported: returns PELKIT_E_NOT_SUPPORTED and
 * touches no file. */
PELKIT_API int32_t PELKIT_CALL Pelkit_UnzipFile(const char* archivePath, const char* destinationDirectory);

/* MD5 digest of the whole file at `path` (opened for reading, binary) into
 * `digest` (16 bytes). PELKIT_E_IO when it cannot be opened or read. */
PELKIT_API int32_t PELKIT_CALL Pelkit_GetFileMd5(const char* path, uint8_t* digest);

/* MD5 digest of `length` bytes at `data` into `digest` (16 bytes). */
PELKIT_API int32_t PELKIT_CALL Pelkit_GetMd5(const void* data, uint32_t length, uint8_t* digest);

typedef int32_t(PELKIT_CALL* Pelkit_DeCrypt_sha256_Proc)(const void*, uint32_t, uint8_t*);
typedef int32_t(PELKIT_CALL* Pelkit_DeCrypt_rc4_Proc)(const uint8_t*, uint32_t, const void*, void*, uint32_t);
typedef int32_t(PELKIT_CALL* Pelkit_DeCrypt_Base64_Proc)(const char*, uint32_t, uint8_t*, uint32_t, uint32_t*);
typedef int32_t(PELKIT_CALL* Pelkit_Utf2AscII_Proc)(const char*, char*, uint32_t);
typedef int32_t(PELKIT_CALL* Pelkit_UnzipFile_Proc)(const char*, const char*);
typedef int32_t(PELKIT_CALL* Pelkit_GetFileMd5_Proc)(const char*, uint8_t*);
typedef int32_t(PELKIT_CALL* Pelkit_GetMd5_Proc)(const void*, uint32_t, uint8_t*);

#ifdef __cplusplus
}
#endif

#endif /* PELKIT_H */
