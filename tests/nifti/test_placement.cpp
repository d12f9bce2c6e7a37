// Where the writer puts each image in the output file, what it passes on,
// and how the files end: temporary name, renaming, failures.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <numeric>
#include <random>
#include <sstream>

#include "NiftiTestSupport.h"
#include "duvhost/Framework.h"

using namespace niftitest;

namespace {

const std::string kFailSuffix = " status = 0xc0000001";

DuvStatus feed(Writer& w, const TestImage& image, ImageControl ctrl, long anatomical) {
    DuvAs as = makeImage(image);
    MrPtr<MiniHeader> h = makeHeader(anatomical);
    return w.ComputeImage(as, h, ctrl);
}

void expectImageAt(const std::vector<unsigned char>& file, const TestImage& image, long ch, size_t position) {
    const auto want = expectedImageBytes(image, ch);
    ASSERT_LE(position + want.size(), file.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin() + long(position)))
        << "slice " << image.slice << " volume " << image.vol << " channel " << ch << " at " << position;
}

bool allZero(const std::vector<unsigned char>& file, size_t from, size_t to) {
    return std::all_of(file.begin() + long(from), file.begin() + long(to), [](unsigned char b) { return b == 0; });
}

std::string dump(const ImageControl& c) {
    std::ostringstream os;
    os << c;
    return os.str();
}

}  // namespace

TEST(NiftiPlacement, SlabOf176PartitionsInAnyOrder) {
    TempDir dir;
    Job job;
    job.nParMeas = 176;
    job.nParFT = 176;
    job.sliceThk = 176.0;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "slab.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    std::vector<long> order(176);
    std::iota(order.begin(), order.end(), 0L);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    Counts c;
    c.par = 176;
    TestImage s;
    s.nCol = 256;
    s.nLin = 256;
    for (long par : order) {
        s.slice = par;
        ASSERT_EQ(feed(*w, s, makeControl(c, 0, par), 0), I_OK);
    }
    const std::string name = dir / "slab.nii";
    EXPECT_TRUE(fs::exists(name + ".tmp"));
    EXPECT_FALSE(fs::exists(name));
    ASSERT_EQ(w->endOfJob(I_ACQ_END), I_OK);
    EXPECT_FALSE(fs::exists(name + ".tmp"));
    const auto file = readFile(name);
    ASSERT_EQ(file.size(), 352u + 176u * 131072u);
    for (long par = 0; par < 176; ++par) {
        s.slice = par;
        expectImageAt(file, s, 0, size_t(par) * 131072u + 352u);
    }
    EXPECT_TRUE(sink->contains("qomNiftiWriter: creating new file (currently 0 open)"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: opening " + name + ".tmp"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: created new complex output file #0: " + name));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: wrote 348 primary header bytes"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: estimated final filesize (incl. 352-byte header): 23069024 bytes"));
    EXPECT_TRUE(sink->contains("qomNiftiWriter: closing file 0: " + name + " (23069024 bytes)"));
    EXPECT_EQ(sink->count("qomNiftiWriter: creating new file (currently 0 open)"), 1u);
}

TEST(NiftiPlacement, InterleavedSlicesLandByAnatomicalSliceNumber) {
    TempDir dir;
    Job job;
    job.nSlc = 5;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "il.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 5;
    const long arrival[] = {1, 3, 0, 2, 4};
    for (long n = 0; n < 5; ++n) {
        TestImage s;
        s.slice = arrival[n];
        // The control's slice index is the acquisition order; the header's
        // anatomical number decides the place.
        ASSERT_EQ(feed(*w, s, makeControl(c, n), arrival[n]), I_OK);
    }
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "il.nii");
    ASSERT_EQ(file.size(), 352u + 5u * 96u);
    for (long slc = 0; slc < 5; ++slc) {
        TestImage s;
        s.slice = slc;
        expectImageAt(file, s, 0, 352u + size_t(slc) * 96u);
    }
}

TEST(NiftiPlacement, FourChannelsAtTheChannelStride) {
    TempDir dir;
    Job job;
    job.nCha = 4;
    job.nSlc = 3;
    job.nRepProtocol = 1;  // two repetitions
    MrPtr<Writer> w = makeWriter(job, dir.str(), "ch.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.cha = 4;
    c.slc = 3;
    c.rep = 2;
    for (long rep = 1; rep >= 0; --rep)
        for (long slc = 0; slc < 3; ++slc) {
            TestImage s;
            s.nCha = 4;
            s.slice = slc;
            s.vol = rep;
            ASSERT_EQ(feed(*w, s, makeControl(c, slc, 0, rep, REP), slc), I_OK);
        }
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "ch.nii");
    const size_t image = 8 * 6 * 2, channelStride = 2 * 3 * image;
    ASSERT_EQ(file.size(), 352u + 4 * channelStride);
    for (long ch = 0; ch < 4; ++ch)
        for (long rep = 0; rep < 2; ++rep)
            for (long slc = 0; slc < 3; ++slc) {
                TestImage s;
                s.nCha = 4;
                s.slice = slc;
                s.vol = rep;
                expectImageAt(file, s, ch, 352 + ch * channelStride + (rep * 3 + slc) * image);
            }
}

TEST(NiftiPlacement, TheFirstLineWrittenIsTheLastLine) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str(), "l.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    TestImage s;
    ASSERT_EQ(feed(*w, s, makeControl(Counts{}), 0), I_OK);
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "l.nii");
    for (long col = 0; col < 8; ++col) {
        EXPECT_EQ(at<int16_t>(file, 352 + 2 * col), int16_t(pixelValue(col, 5, 0, 0, 0)));        // line 5 first
        EXPECT_EQ(at<int16_t>(file, 352 + 5 * 16 + 2 * col), int16_t(pixelValue(col, 0, 0, 0, 0)));  // line 0 last
    }
}

TEST(NiftiPassingOn, ImagesGoOnUnlessHeldBack) {
    for (bool holdBack : {false, true})
        for (bool exportOn : {true, false}) {
            SCOPED_TRACE(std::to_string(holdBack) + std::to_string(exportOn));
            TempDir dir;
            Job job;
            job.nSlc = 2;
            MrPtr<Writer> w = makeWriter(job, dir.str(), "p.nii");
            w->setDoNotSendDicomImages(holdBack);
            w->setDoNiftiExport(exportOn);
            Successor next;
            DuvAs seen;
            w->ImageReady.bind([&](DuvAs& as, MrPtr<MiniHeader>&, ImageControl&) -> DuvStatus {
                seen = as;
                return I_OK;
            });
            next.attach(*w);
            ASSERT_EQ(w->EndInit(nullptr), I_OK);
            Counts c;
            c.slc = 2;
            TestImage s;
            DuvAs as = makeImage(s);
            MrPtr<MiniHeader> h = makeHeader(0);
            ImageControl ctrl = makeControl(c);
            ASSERT_EQ(w->ComputeImage(as, h, ctrl), I_OK);
            s.slice = 1;
            ASSERT_EQ(feed(*w, s, makeControl(c, 1), 1), I_OK);
            ASSERT_EQ(w->endOfJob(0), I_OK);
            EXPECT_EQ(next.images, holdBack ? 0 : 2);
            if (!holdBack) {
                // The successor gets the image as received.
                EXPECT_EQ(seen.getLen(COL), 8);
                EXPECT_EQ(seen.getLen(LIN), 6);
            }
            EXPECT_EQ(fs::exists(dir / "p.nii"), exportOn);
            // Without export only the protocol file is in the directory.
            if (!exportOn) {
                EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
            }
        }
}

TEST(NiftiPassingOn, AFailingSuccessorFailsTheImage) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    Successor next;
    next.status = I_FAIL;
    next.attach(*w);
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: ERROR calling remaining functor chain, aborting..." + kFailSuffix));
    // A warning of a successor is no failure.
    next.status = I_ACQ_END;
    EXPECT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_OK);
}

TEST(NiftiFailures, OpenFailureThenArraySizeMessage) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    const std::string missing = dir / "no/such/dir";
    w->setExportFilePath(missing);  // a given directory is not created
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_FALSE(fs::exists(missing));
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    Successor next;
    next.attach(*w);
    EXPECT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed opening " + missing + "/out.nii.tmp" + kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: ERROR: size of file name and file pointer arrays does not match!" +
                               kFailSuffix));
    EXPECT_EQ(next.images, 0);
    EXPECT_EQ(w->endOfJob(0), I_OK);
}

TEST(NiftiFailures, SegmentIndexOneFailsBeforeAnything) {
    for (bool exportOn : {true, false}) {
        TempDir dir;
        MrPtr<Writer> w = makeWriter(Job{}, dir.str());
        w->setDoNiftiExport(exportOn);
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        duvtrace::ScopedMemorySink sink;
        ImageControl ctrl = makeControl(Counts{});
        ctrl.setIndex(SEG, 1);
        EXPECT_EQ(feed(*w, TestImage{}, ctrl, 0), I_FAIL);
        EXPECT_TRUE(sink->contains("qomNiftiWriter: uncombined SEGMENTS not supported!" + dump(ctrl) + kFailSuffix));
        EXPECT_FALSE(sink->containsSubstring("FirstCall"));
        EXPECT_FALSE(fs::exists(dir / "out.nii.tmp"));
    }
}

TEST(NiftiFailures, MissingAnatomicalSliceNumber) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    DuvAs as = makeImage(TestImage{});
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    h->set("SequenceDescription", std::string("x"));
    ImageControl ctrl = makeControl(Counts{});
    EXPECT_EQ(w->ComputeImage(as, h, ctrl), I_FAIL);
    std::ostringstream headerDump;
    headerDump << *h;
    EXPECT_TRUE(sink->contains("qomNiftiWriter: dataHeader->get('AnatomicalSliceNo') failed, aborting...\nimaHead:" +
                               headerDump.str() + kFailSuffix));
}

TEST(NiftiEndOfJob, WithoutAnyImage) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->endOfJob(I_ACQ_END), I_OK);
    EXPECT_FALSE(sink->containsSubstring("closing file"));
    EXPECT_FALSE(fs::exists(dir / "out.nii"));
}

TEST(NiftiEndOfJob, RenameFailureKeepsTheTemporaryFile) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    ASSERT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_OK);
    // A non-empty directory under the final name cannot be replaced.
    fs::create_directories(dir / "out.nii/inside");
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(w->endOfJob(0), I_FAIL);
    const std::string name = dir / "out.nii";
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed to rename " + name + ".tmp -> " + name + kFailSuffix));
    EXPECT_EQ(readFile(name + ".tmp").size(), 352u + 96u);
}

TEST(NiftiEndOfJob, AnImageAfterTheEndOfTheJobIsRefused) {
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    ASSERT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_OK);
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto before = readFile(dir / "out.nii");
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(feed(*w, TestImage{}, makeControl(Counts{}), 0), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: output file " + (dir / "out.nii") +
                               " was closed at end of job, aborting..." + kFailSuffix));
    EXPECT_EQ(readFile(dir / "out.nii"), before);
}

TEST(NiftiFailures, SeekFailureOfAFullDevice) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full (there is no device that refuses every byte on Windows)";
    TempDir dir;
    Job job;
    job.nSlc = 2;
    MrPtr<Writer> w = makeWriter(job, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    // The temporary file is a device that refuses every byte: the header
    // cannot leave the stream buffer when the writer seeks to slice 1.
    fs::create_symlink("/dev/full", dir / "out.nii.tmp");
    duvtrace::ScopedMemorySink sink;
    Counts c;
    c.slc = 2;
    TestImage s;
    s.slice = 1;
    EXPECT_EQ(feed(*w, s, makeControl(c, 1), 1), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed to seek position 448 in " + (dir / "out.nii.tmp") +
                               kFailSuffix));
}

// --- refused images (they never overwrite other images) ---------------------------

TEST(NiftiRefusedImages, IndicesOutsideTheHeaderDimensions) {
    TempDir dir;
    Job job;
    job.nSlc = 3;
    job.nRepProtocol = 1;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "r.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 3;
    c.rep = 2;
    for (long rep = 0; rep < 2; ++rep)
        for (long slc = 0; slc < 3; ++slc) {
            TestImage s;
            s.slice = slc;
            s.vol = rep;
            ASSERT_EQ(feed(*w, s, makeControl(c, slc, 0, rep), slc), I_OK);
        }
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    TestImage bad;
    bad.slice = 3;
    // Slice 3 of volume 0 would land on slice 0 of volume 1.
    ImageControl beyondSlices = makeControl(c, 0, 0, 0);
    EXPECT_EQ(feed(*w, bad, beyondSlices, 3), I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: image outside the file's dimensions (slc/vol 3/0 of 3/2), aborting..." +
                               dump(beyondSlices) + kFailSuffix));
    ImageControl beyondVolumes = makeControl(c, 0, 0, 2);
    EXPECT_EQ(feed(*w, bad, beyondVolumes, 0), I_FAIL);
    EXPECT_EQ(feed(*w, bad, makeControl(c), -1), I_FAIL);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "r.nii");
    ASSERT_EQ(file.size(), 352u + 6 * 96u);
    for (long rep = 0; rep < 2; ++rep)
        for (long slc = 0; slc < 3; ++slc) {
            TestImage s;
            s.slice = slc;
            s.vol = rep;
            expectImageAt(file, s, 0, 352 + (rep * 3 + slc) * 96);
        }
}

TEST(NiftiRefusedImages, ImagesUnlikeTheFirstImage) {
    TempDir dir;
    Job job;
    job.nSlc = 2;
    job.nCha = 2;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "m.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 2;
    c.cha = 2;
    TestImage first;
    first.nCha = 2;
    ASSERT_EQ(feed(*w, first, makeControl(c), 0), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestImage wider = first, taller = first, complex = first, fewer = first, more = first;
    wider.nCol = 16;
    taller.nLin = 12;
    complex.format = CXFL;
    fewer.nCha = 1;
    more.nCha = 3;
    for (TestImage* s : {&wider, &taller, &complex, &fewer, &more}) {
        s->slice = 1;
        EXPECT_EQ(feed(*w, *s, makeControl(c, 1), 1), I_FAIL);
    }
    EXPECT_EQ(sink->find("DUV.Viviv", duvtrace::Error, "qomNiftiWriter::ComputeImage(srcAs, dataHeader, ctrl)", "")
                  .size(),
              5u);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: image does not match the file (columns/lines/format/channels "
                               "16/6/0/2, expected 8/6/0/2), aborting..." +
                               dump(makeControl(c, 1)) + kFailSuffix));
    EXPECT_TRUE(sink->containsSubstring("(columns/lines/format/channels 8/6/5/2, expected 8/6/0/2)"));
    EXPECT_TRUE(sink->containsSubstring("(columns/lines/format/channels 8/6/0/1, expected 8/6/0/2)"));
    EXPECT_TRUE(sink->containsSubstring("(columns/lines/format/channels 8/6/0/3, expected 8/6/0/2)"));
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "m.nii");
    ASSERT_EQ(file.size(), 352u + 4 * 96u);
    expectImageAt(file, first, 0, 352);
    expectImageAt(file, first, 1, 352 + 2 * 96);
    EXPECT_TRUE(allZero(file, 352 + 96, 352 + 2 * 96));  // slice 1 never arrived
    EXPECT_TRUE(allZero(file, 352 + 3 * 96, 352 + 4 * 96));
}

// --- end of job extends short files --------------------------------------------------

TEST(NiftiEndOfJob, MissingLastSliceReadsAsZeros) {
    TempDir dir;
    Job job;
    job.nSlc = 4;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "short.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 4;
    for (long slc = 0; slc < 3; ++slc) {
        TestImage s;
        s.slice = slc;
        ASSERT_EQ(feed(*w, s, makeControl(c, slc), slc), I_OK);
    }
    EXPECT_EQ(fs::file_size(dir / "short.nii.tmp") <= 352u + 3 * 96u, true);
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "short.nii");
    ASSERT_EQ(file.size(), 352u + 4 * 96u);
    EXPECT_TRUE(allZero(file, 352 + 3 * 96, file.size()));
    TestImage s;
    s.slice = 2;
    expectImageAt(file, s, 0, 352 + 2 * 96);
}

// --- 64-bit positions -----------------------------------------------------------------

TEST(NiftiLargeFiles, PositionsBeyondFourGigabytes) {
    TempDir dir;
    Job job;
    job.nSlc = 64;
    job.nCha = 4;
    job.nRepProtocol = 199;  // 200 repetitions
    MrPtr<Writer> w = makeWriter(job, dir.str(), "big.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    duvtrace::ScopedMemorySink sink;
    Counts c;
    c.slc = 64;
    c.cha = 4;
    c.rep = 200;
    TestImage s;
    s.format = CXFL;
    s.nCol = 256;
    s.nLin = 256;
    s.nCha = 4;
    s.slice = 63;
    s.vol = 199;
    const int64_t image = 256 * 256 * 8;
    // Only the last image of the last channel is written; the rest stays a hole.
    ASSERT_EQ(feed(*w, s, makeControl(c, 63, 0, 199), 63), I_OK);
    EXPECT_EQ(w->imageFilePosition(3, 199, 63), ((3 * 200 + 199) * 64 + 63) * image + 352);
    EXPECT_EQ(w->imageFilePosition(0, 0, 0), 352);
    EXPECT_EQ(w->imageFilePosition(1, 0, 0), 200 * 64 * image + 352);
    EXPECT_EQ(w->imageFilePosition(0, 0, 64), -1);
    EXPECT_EQ(w->imageFilePosition(0, 200, 0), -1);
    EXPECT_EQ(w->imageFilePosition(4, 0, 0), -1);
    EXPECT_EQ(w->imageFilePosition(-1, 0, 0), -1);
    const int64_t declared = 4 * 200 * 64 * image + 352;  // 26.8 GB, sparse
    EXPECT_EQ(w->declaredFileBytes(), declared);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: estimated final filesize (incl. 352-byte header): " +
                               std::to_string(declared) + " bytes"));
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const std::string name = dir / "big.nii";
    EXPECT_EQ(int64_t(fs::file_size(name)), declared);
    std::FILE* f = std::fopen(name.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (long ch = 0; ch < 4; ++ch) {
        const int64_t position = ((ch * 200 + 199) * 64 + 63) * image + 352;
        std::vector<unsigned char> got(size_t(image), 0xAA);
        ASSERT_EQ(fseeko(f, off_t(position), SEEK_SET), 0);
        ASSERT_EQ(std::fread(got.data(), 1, got.size(), f), got.size());
        EXPECT_EQ(got, expectedImageBytes(s, ch)) << "channel " << ch;
    }
    std::fclose(f);
}

// --- handles of a failed job ------------------------------------------------------------

TEST(NiftiFileHandles, EndInitClosesWhatAFailedJobLeftOpen) {
    TempDir dir;
    Job job;
    job.nSlc = 2;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "j.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 2;
    TestImage s;
    s.nCol = 256;
    s.nLin = 256;
    ASSERT_EQ(feed(*w, s, makeControl(c), 0), I_OK);
    EXPECT_EQ(w->openFileCount(), 1u);
    // The job ends without endOfJob; the next one starts.
    w->setNRep(0);
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    EXPECT_EQ(w->openFileCount(), 0u);
    EXPECT_TRUE(w->fileNames().empty());
    // Closing flushed the stream: the temporary file holds header and image.
    const auto tmp = readFile(dir / "j.nii.tmp");
    ASSERT_EQ(tmp.size(), 352u + 131072u);
    expectImageAt(tmp, s, 0, 352);
}

TEST(NiftiFileHandles, TheDestructorClosesOpenFiles) {
    TempDir dir;
    TestImage s;
    s.nCol = 256;
    s.nLin = 256;
    {
        MrPtr<Writer> w = makeWriter(Job{}, dir.str(), "d.nii");
        ASSERT_EQ(w->EndInit(nullptr), I_OK);
        ASSERT_EQ(feed(*w, s, makeControl(Counts{}), 0), I_OK);
    }
    const auto tmp = readFile(dir / "d.nii.tmp");
    ASSERT_EQ(tmp.size(), 352u + 131072u);
    expectImageAt(tmp, s, 0, 352);
}

// --- images that are views on other storage --------------------------------------------

TEST(NiftiPlacement, WindowsAndTransposedStorageAreWrittenAsTheViewShows) {
    TempDir dir;
    Job job;
    job.nSlc = 2;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "v.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 2;
    // Slice 0: columns 2 ... 9 of a 12-column object (lines 12 values apart).
    MrPtr<DuvObj> wide(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(wide->create(SH, {{COL, 12}, {LIN, 6}}));
    auto* a = reinterpret_cast<int16_t*>(wide->data());
    for (long lin = 0; lin < 6; ++lin)
        for (long col = 0; col < 12; ++col) a[lin * 12 + col] = int16_t(100 * lin + col);
    DuvAs window(wide);
    ASSERT_TRUE(window.init(COL, 2, 8, 1));
    MrPtr<MiniHeader> h0 = makeHeader(0);
    ImageControl c0 = makeControl(c, 0);
    ASSERT_EQ(w->ComputeImage(window, h0, c0), I_OK);
    // Slice 1: lines stored fastest (the view moves onto column-first storage).
    MrPtr<DuvObj> transposed(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(transposed->create(SH, {{LIN, 6}, {COL, 8}}));
    auto* t = reinterpret_cast<int16_t*>(transposed->data());
    for (long col = 0; col < 8; ++col)
        for (long lin = 0; lin < 6; ++lin) t[col * 6 + lin] = int16_t(1000 + 100 * lin + col);
    DuvAs tv(transposed);
    MrPtr<MiniHeader> h1 = makeHeader(1);
    ImageControl c1 = makeControl(c, 1);
    ASSERT_EQ(w->ComputeImage(tv, h1, c1), I_OK);
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "v.nii");
    ASSERT_EQ(file.size(), 352u + 2 * 96u);
    for (long j = 0; j < 6; ++j)
        for (long col = 0; col < 8; ++col) {
            const long lin = 5 - j;
            EXPECT_EQ(at<int16_t>(file, 352 + (j * 8 + col) * 2), int16_t(100 * lin + col + 2)) << j << "," << col;
            EXPECT_EQ(at<int16_t>(file, 352 + 96 + (j * 8 + col) * 2), int16_t(1000 + 100 * lin + col)) << j;
        }
}

// A file that cannot take its last bytes keeps its temporary name: closing
// reports the loss instead of renaming an incomplete file.
TEST(NiftiEndOfJob, BytesThatCannotBeWrittenFailTheEnd) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit per process (setrlimit) to make a write fall short";
#else
    TempDir dir;
    MrPtr<Writer> w = makeWriter(Job{}, dir.str());
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    // Header and image wait in the stream buffer; at the end only 400 of
    // their 448 bytes fit.
    struct rlimit small = old;
    small.rlim_cur = 400;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    duvtrace::ScopedMemorySink sink;
    const DuvStatus imageStatus = feed(*w, TestImage{}, makeControl(Counts{}), 0);
    const DuvStatus endStatus = w->endOfJob(0);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(imageStatus, I_OK);
    EXPECT_EQ(endStatus, I_FAIL);
    EXPECT_TRUE(sink->contains("qomNiftiWriter: failed writing " + (dir / "out.nii.tmp") + kFailSuffix));
    EXPECT_TRUE(fs::exists(dir / "out.nii.tmp"));
    EXPECT_FALSE(fs::exists(dir / "out.nii"));
    EXPECT_EQ(w->openFileCount(), 0u);
#endif
}

// Images that follow their predecessor in the file go on without a seek;
// the others seek. Either way each lands at its own place.
TEST(NiftiPlacement, InOrderAndOutOfOrderImagesMixed) {
    TempDir dir;
    Job job;
    job.nSlc = 6;
    MrPtr<Writer> w = makeWriter(job, dir.str(), "mix.nii");
    ASSERT_EQ(w->EndInit(nullptr), I_OK);
    Counts c;
    c.slc = 6;
    for (long slc : {0L, 1L, 4L, 5L, 2L, 3L}) {
        TestImage s;
        s.slice = slc;
        ASSERT_EQ(feed(*w, s, makeControl(c, slc), slc), I_OK);
    }
    ASSERT_EQ(w->endOfJob(0), I_OK);
    const auto file = readFile(dir / "mix.nii");
    ASSERT_EQ(file.size(), 352u + 6 * 96u);
    for (long slc = 0; slc < 6; ++slc) {
        TestImage s;
        s.slice = slc;
        expectImageAt(file, s, 0, 352 + slc * 96);
    }
}
