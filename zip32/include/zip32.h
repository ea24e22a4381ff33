/*
 * zip32.h - the Quillbarrow zip engine.
 *
 * (The full manual of each entry point, record, option field, result code
 * and message is written alongside the implementation.)
 */
#ifndef ZIP32_H
#define ZIP32_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZIP32_BUILDING)
#    define ZIP32_API __declspec(dllexport)
#  else
#    define ZIP32_API __declspec(dllimport)
#  endif
#  define ZIP32_CALL __stdcall
#else
#  define ZIP32_API __attribute__((visibility("default")))
#  define ZIP32_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Message routine: buffer of at most 4097 bytes, NUL-terminated, and its length. */
typedef int32_t (ZIP32_CALL *ZipPrintRoutine)(const char *buffer, uint32_t length);
/* Second and third routines: never called by this engine. */
typedef int32_t (ZIP32_CALL *ZipAnswerRoutine)(int32_t, int32_t, int32_t, int32_t);
typedef char *(ZIP32_CALL *ZipBufferRoutine)(char *buffer);
typedef void (ZIP32_CALL *ZipFourthRoutine)(void);

typedef struct ZipEngineCallbacks {
    ZipPrintRoutine print;
    ZipAnswerRoutine answer;
    ZipBufferRoutine buffer;
    ZipFourthRoutine fourth;
} ZipEngineCallbacks;

typedef struct ZipEngineOptions {
    int32_t field1;          /*   0 */
    int32_t field2;          /*   4 */
    int32_t field3;          /*   8 */
    int32_t field4;          /*  12 */
    int32_t field5;          /*  16 */
    int32_t includeSystem;   /*  20  field 6 */
    int32_t field7;          /*  24 */
    int32_t field8;          /*  28 */
    int32_t field9;          /*  32 */
    int32_t field10;         /*  36 */
    int32_t field11;         /*  40 */
    int32_t field12;         /*  44 */
    int32_t ignorePath;      /*  48  field 13 */
    int32_t recurse;         /*  52  field 14 */
    int32_t field15;         /*  56 */
    int32_t field16;         /*  60 */
    int32_t field17;         /*  64 */
    int32_t field18;         /*  68 */
    int32_t update;          /*  72  field 19 */
    int32_t field20;         /*  76 */
    int32_t threads;         /*  80  field 21 */
    int32_t field22;         /*  84 */
    int32_t field23;         /*  88 */
    int32_t field24;         /*  92 */
    int32_t field25;         /*  96 */
    int32_t field26;         /* 100 */
    int32_t field27;         /* 104 */
    uint8_t level;           /* 108  field 28 */
    const char *tempDir;     /* 112  field 29 */
    const char *rootDir;     /* 116  field 30 */
} ZipEngineOptions;

/* ZipFileNameList: an array of `count` pointers to NUL-terminated UTF-8 names. */
typedef const char *const *ZipFileNameList;

enum {
    ZP_OK = 0,
    ZP_NOTHING_TO_DO = 12,
    ZP_FILES_SKIPPED = 18,
    ZP_CANNOT_WRITE = 15,
    ZP_BAD_ARGUMENTS = 16,
    ZP_BUSY = 20,
    ZP_INTERNAL = 2
};

ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *callbacks);
ZIP32_API int32_t ZIP32_CALL ZpSetOptions(ZipEngineOptions *options);
ZIP32_API int32_t ZIP32_CALL ZpArchive(int32_t count, const char *archiveName, ZipFileNameList names);

#ifdef __cplusplus
}
#endif

#endif
