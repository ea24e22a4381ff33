// SourceCommands: the one switch over libzip's source commands, shared by
// the engine's libzip sources. libzip calls a source through one function
// and a command; this hands each command to the source's member function of
// that meaning, so that a source says only what it does. A Source has:
//
//   zip_int64_t supports()                          the command bitmap
//   bool mayStat()                                  false, its error set, when it cannot answer STAT
//   bool stat(zip_stat_t &st)                       fills st (initialised); false, its error set
//   zip_int64_t open()
//   zip_int64_t read(void *data, zip_uint64_t length)
//   zip_error_t *sourceError()                      what ERROR reports
//   zip_int64_t otherCommand(void *data, zip_uint64_t length, zip_source_cmd_t command)
//                                                   any further command; refuseCommand
//                                                   for those it does not take
//
// CLOSE and FREE do nothing here.
#pragma once

#include <zip.h>

namespace zip32 {

template <typename Source>
zip_int64_t dispatchSourceCommand(Source &source, void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    switch (command) {
    case ZIP_SOURCE_SUPPORTS:
        return source.supports();
    case ZIP_SOURCE_STAT: {
        if (!source.mayStat())
            return -1;
        auto *st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, source.sourceError());
        if (!st)
            return -1;
        zip_stat_init(st);
        return source.stat(*st) ? static_cast<zip_int64_t>(sizeof(*st)) : -1;
    }
    case ZIP_SOURCE_OPEN:
        return source.open();
    case ZIP_SOURCE_READ:
        return source.read(data, length);
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(source.sourceError(), data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    default:
        return source.otherCommand(data, length, command);
    }
}

// What otherCommand answers to a command the source does not take.
inline zip_int64_t refuseCommand(zip_error_t *error)
{
    zip_error_set(error, ZIP_ER_OPNOTSUPP, 0);
    return -1;
}

// The function libzip is given, with the source object as its user data.
template <typename Source>
zip_int64_t sourceCallback(void *self, void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    return dispatchSourceCommand(*static_cast<Source *>(self), data, length, command);
}

} // namespace zip32
