// Mapped files, sector rounding and padding, stream copy and length, and
// running programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <winioctl.h>
#endif

#include "argument_probe.h"
#include "test_files.h"
#include "util/file_routines.h"

// A temporary stream holding `bytes`, positioned at their end.
static FILE* stream_of(const Bytes& bytes) {
    FILE* stream = tmpfile();
    if (stream && !bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), stream);
    return stream;
}

// Everything in `stream`, from its start.
static Bytes contents_of(FILE* stream) {
    fflush(stream);
    rewind(stream);
    Bytes bytes;
    for (int c; (c = fgetc(stream)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
    return bytes;
}

TEST(MapFile, MapsTheWholeFileOrGivesNone) {
    ScratchFolder scratch;
    write_file(scratch / "data", bytes_of("mapped bytes"));
    write_file(scratch / "empty", {});
    MappedFile* record = map_file((scratch / "data").string().c_str());
    ASSERT_TRUE(record);
    EXPECT_EQ(text_of(Bytes(record->view, record->view + record->size)), "mapped bytes");
    EXPECT_TRUE(unmap_file(record));
    delete record;

    record = map_file((scratch / "empty").string().c_str());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->size, 0u);
    EXPECT_EQ(record->view, nullptr);
    EXPECT_TRUE(unmap_file(record));
    delete record;

    EXPECT_EQ(map_file((scratch / "missing").string().c_str()), nullptr);
    EXPECT_EQ(map_file(scratch.path.string().c_str()), nullptr);
}

#ifndef _WIN32
// With standard input closed, the file is opened as descriptor 0: the first
// unmap_file must close it, the second must not close the standard input
// that has since taken descriptor 0 again.
TEST(UnmapFile, SecondCallReleasesNothing) {
    ScratchFolder scratch;
    write_file(scratch / "data", bytes_of("x"));
    int saved_input = dup(0);  // -1 when the tests run without standard input
    close(0);
    MappedFile* record = map_file((scratch / "data").c_str());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->file_handle, 1);  // descriptor 0, stored plus one
    EXPECT_TRUE(unmap_file(record));
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    EXPECT_EQ(saved_input >= 0 ? dup2(saved_input, 0) : open("/dev/null", O_RDONLY), 0);

    EXPECT_TRUE(unmap_file(record));
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    EXPECT_EQ(record->size, 0u);
    EXPECT_EQ(record->view, nullptr);
    EXPECT_EQ(record->file_handle, 0);
    EXPECT_EQ(record->mapping_handle, 0);
    EXPECT_FALSE(unmap_file(nullptr));
    delete record;
    close(saved_input >= 0 ? saved_input : 0);
}
#endif

TEST(StreamLength, MeasuresTheFileAndKeepsThePosition) {
    ScratchFolder scratch;
    FILE* stream = fopen((scratch / "new").string().c_str(), "w+b");
    ASSERT_TRUE(stream);
    fwrite("0123456789", 1, 10, stream);
    EXPECT_EQ(stream_length(stream), 0);  // still in the stream's buffer
    fflush(stream);
    EXPECT_EQ(stream_length(stream), 10);
    fseek(stream, 3, SEEK_SET);
    EXPECT_EQ(stream_length(stream), 10);
    fputc('X', stream);
    EXPECT_EQ(text_of(contents_of(stream)), "012X456789");
    fclose(stream);
    EXPECT_EQ(stream_length(nullptr), -1);
}

TEST(RoundUpToSector, RoundsUpInUnsigned32Bits) {
    struct {
        uint32_t count, expected;
    } cases[] = {{0, 0}, {1, 2048}, {2048, 2048}, {2049, 4096}, {4294965248u, 4294965248u}, {4294967295u, 0}};
    for (const auto& c : cases) EXPECT_EQ(round_up_to_sector(c.count), c.expected) << c.count;
}

TEST(PadToSector, ZeroFillsToTheNextBoundary) {
    struct {
        size_t position;
        int32_t pad;
    } cases[] = {{0, 0}, {2048, 0}, {2049, 2047}, {1, 2047}, {4095, 1}};
    for (const auto& c : cases) {
        FILE* stream = stream_of(Bytes(c.position, 'x'));
        ASSERT_TRUE(stream);
        EXPECT_EQ(pad_to_sector(stream), c.pad) << c.position;
        Bytes expected(c.position, 'x');
        expected.resize(c.position + static_cast<size_t>(c.pad), 0);
        EXPECT_EQ(contents_of(stream), expected) << c.position;
        fclose(stream);
    }
}

// Positions past 2^31 and 2^32, where a 32-bit position would be negative
// or wrap, in a sparse file: one byte ends just before each position.
TEST(PadToSector, CountsPositionsPast2GiB) {
    ScratchFolder scratch;
    const int64_t GIB_2 = int64_t{1} << 31, GIB_4 = int64_t{1} << 32;
    const struct {
        int64_t position;
        int32_t pad;
    } cases[] = {{GIB_2 + 1, 2047}, {GIB_2 + 2048, 0}, {GIB_4 - 1, 1}, {GIB_4 + 5, 2043}};
    for (const auto& c : cases) {
        const fs::path path = scratch / "sparse";
        FILE* stream = fopen(path.string().c_str(), "wb");
        ASSERT_TRUE(stream);
#ifdef _WIN32
        DWORD returned;
        DeviceIoControl(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), FSCTL_SET_SPARSE, nullptr, 0,
                        nullptr, 0, &returned, nullptr);
        ASSERT_EQ(_fseeki64(stream, c.position - 1, SEEK_SET), 0);
#else
        ASSERT_EQ(fseeko(stream, c.position - 1, SEEK_SET), 0);
#endif
        fputc('x', stream);
        EXPECT_EQ(pad_to_sector(stream), c.pad) << c.position;
        fclose(stream);
        EXPECT_EQ(fs::file_size(path), static_cast<uintmax_t>(c.position + c.pad)) << c.position;
        fs::remove(path);
    }
}

TEST(CopyStreamBytes, CopiesCountBytesInChunks) {
    Bytes source_bytes = pattern_bytes(70000, 7);
    struct {
        uint32_t count;
        size_t copied;
    } cases[] = {{0, 0}, {65537, 65537}, {80000, 70000}};  // the last runs out of source
    for (const auto& c : cases) {
        FILE* source = stream_of(source_bytes);
        FILE* destination = tmpfile();
        ASSERT_TRUE(source && destination);
        rewind(source);
        copy_stream_bytes(source, destination, c.count);
        EXPECT_EQ(ftell(source), static_cast<long>(c.copied)) << c.count;
        EXPECT_EQ(contents_of(destination), Bytes(source_bytes.begin(), source_bytes.begin() + c.copied)) << c.count;
        fclose(source);
        fclose(destination);
    }
}

TEST(RunProgram, ReturnsTheExitStatusOrMinusOne) {
    struct {
        const char* program;
        const char* argument;
        int status;
    } cases[] = {
#ifndef _WIN32
        {"true", "x", 0},  // found on the search path
        {"false", "x", 1},
#endif
        {ARGUMENT_PROBE_PATH, PROBE_ARGUMENT, 11},  // one argument, arrived whole
        {ARGUMENT_PROBE_PATH, "", 10},
        {ARGUMENT_PROBE_PATH, nullptr, 0},
        {"vantrel-no-such-program", "x", -1},
        {"/vantrel-no-such-folder/true", "x", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_program(c.program, c.argument), c.status) << c.program << ' ' << (c.argument ? c.argument : "");
}

#ifndef _WIN32
// Streams whose position cannot be told, and a child that ends by signal.
TEST(PipesAndSignals, PositionCannotBeToldAndSignalIsNotMinusOne) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    FILE* writer = fdopen(ends[1], "wb");
    EXPECT_EQ(stream_length(writer), -1);
    EXPECT_EQ(pad_to_sector(writer), 1);
    fclose(writer);
    unsigned char got[4];
    EXPECT_EQ(read(ends[0], got, sizeof got), 1);
    EXPECT_EQ(got[0], 0);
    close(ends[0]);

    ScratchFolder scratch;
    write_file(scratch / "ends by signal.sh", bytes_of("kill -KILL $$\n"));
    EXPECT_EQ(run_program("sh", (scratch / "ends by signal.sh").c_str()), 128 + 9);
}
#endif
