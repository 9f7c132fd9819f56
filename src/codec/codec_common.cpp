// Pieces of the codec shared by the encoders, the decoders and the layers
// above: compress_header parsing, element widths and status texts.
#include <cstring>

#include "zebcodec.h"

extern "C" {

ZEB_API int32_t zeb_compression_width(int32_t compression_type)
{
    switch (compression_type) {
    case ZEB_CT_CRUNCH8:
    case ZEB_CT_CRUNCHRUN8:
        return 1;
    case ZEB_CT_CRUNCH16:
    case ZEB_CT_CRUNCHRUN16:
        return 2;
    case ZEB_CT_CRUNCH32:
        return 4;
    default:
        return 0;
    }
}

ZEB_API int32_t zeb_parse_compress_header(const uint8_t *src, int64_t len, compress_header *out)
{
    if (len < ZEB_COMPRESS_HEADER_SIZE)
        return ZEB_E_SHORT_COMPRESS_HEADER;
    auto le32 = [src](int at) {
        return static_cast<int32_t>(uint32_t(src[at]) | uint32_t(src[at + 1]) << 8 |
                                    uint32_t(src[at + 2]) << 16 | uint32_t(src[at + 3]) << 24);
    };
    out->stream_size = le32(0);
    out->nblocks = le32(4);
    out->block_size = le32(8);
    out->slice = src[12];
    out->compression_type = src[13];
    return ZEB_OK;
}

ZEB_API const char *zeb_status_text(int32_t status)
{
    switch (status) {
    case ZEB_OK: return "ok";
    case ZEB_E_NOT_FOUND: return "file not found";
    case ZEB_E_OPEN: return "file could not be opened";
    case ZEB_E_SHORT_HEADER: return "file ends inside its 512-byte header";
    case ZEB_E_BAD_SYNCH: return "file does not have the F0 synch pattern";
    case ZEB_E_HEADER_BLOCKS: return "file has more than 16 header blocks";
    case ZEB_E_DIM_COUNT: return "file has more than 16 dimensions";
    case ZEB_E_NEGATIVE_DIM: return "file has a negative dimension";
    case ZEB_E_TOO_LARGE: return "data larger than 2^31 - 1 bytes";
    case ZEB_E_NO_MEMORY: return "out of memory";
    case ZEB_E_UNKNOWN_TYPE: return "unknown data type";
    case ZEB_E_TRUNCATED: return "file ends before its data are complete";
    case ZEB_E_SHORT_COMPRESS_HEADER: return "file ends inside the compression header";
    case ZEB_E_BAD_STREAM_SIZE: return "compressed stream size below 14 bytes";
    case ZEB_E_SHORT_BODY: return "file ends before its compressed data are complete";
    case ZEB_E_UNKNOWN_COMPRESSION: return "unknown compression type";
    case ZEB_E_WIDTH_MISMATCH: return "compressed element width does not match the data type";
    case ZEB_E_BAD_BITS: return "bad bit sequence in compressed data";
    case ZEB_E_BAD_LOOP: return "bad loop in run-length compressed data";
    case ZEB_E_BODY_END: return "compressed data end before the stream is complete";
    case ZEB_E_BAD_SLICE: return "slice not supported";
    case ZEB_E_BAD_BLOCK_SIZE: return "block size below 1";
    case ZEB_E_INCOMPLETE: return "compressed stream holds fewer elements than the dimensions call for";
    case ZEB_E_LIMIT_TOO_SMALL: return "output limit too small";
    case ZEB_E_NO_ROOM: return "compressed stream does not fit in the output limit";
    case ZEB_E_WRITE: return "file could not be written";
    case ZEB_E_CLOSE: return "file could not be closed";
    case ZEB_E_BAD_ARGUMENT: return "argument out of range";
    case ZEB_E_CHECKSUM: return "checksum mismatch: the file is damaged";
    case ZEB_E_RECORD: return "the pyzeb header record is damaged";
    case ZEB_E_METADATA_TOO_LARGE: return "metadata too large for the header";
    case ZEB_E_FOREIGN_BLOCKS: return "file has extra header blocks of another program";
    case ZEB_E_TRAILING_BYTES: return "file has bytes after its data";
    case ZEB_E_CHANGED: return "file changed while it was being rewritten";
    case ZEB_E_NEWER_RECORD: return "file has a header record of a newer version";
    case ZEB_E_BAD_INDEX: return "the seek index does not match the compressed data";
    default: return "unknown status";
    }
}

}  // extern "C"
