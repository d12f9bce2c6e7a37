// Throughput of the NIfTI export: a 176 x 256 x 256 slab of 16-bit samples
// and a 64-slice series of 256 x 256 complex samples written through
// ComputeImage and endOfJob, against a plain sequential write of the same
// bytes (one fwrite per image into a new file) into the same directory.
// Each iteration writes a new file; the images are built beforehand. The
// writer's time includes opening, the header, the reversed lines, closing and
// renaming; the plain write's includes opening and closing. BM_WriterVsPlain
// alternates the two in one loop and reports their throughput ratio.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Viviv_NS_qomNiftiWriter.h"
#include "duvhost/DuvObj.h"
#include "duvhost/Framework.h"
#include "duvhost/Headers.h"

namespace {

namespace fs = std::filesystem;

struct Series {
    DuvFormat_t format;
    long nCol, nLin, images;
    bool slab;
};

const Series kSlab{SH, 256, 256, 176, true};
const Series kComplex{CXFL, 256, 256, 64, false};

// The benchmark's own directory, removed at exit.
const fs::path& benchDirectory() {
    static struct Dir {
        fs::path path;
        Dir() {
            std::string pattern = (fs::temp_directory_path() / "bench_nifti-XXXXXX").string();
            path = ::mkdtemp(&pattern[0]);
            std::ofstream(path / "current_prot.evp") << "MEAS.lRepetitions = 0\n";
        }
        ~Dir() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } dir;
    return dir.path;
}

struct Image {
    DuvAs as;
    MrPtr<MiniHeader> header;
    ImageControl ctrl;
};

std::vector<Image> makeImages(const Series& s) {
    std::vector<Image> images;
    for (long k = 0; k < s.images; ++k) {
        MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
        obj->create(s.format, {{COL, s.nCol}, {LIN, s.nLin}});
        unsigned char* d = obj->data();
        const size_t bytes = obj->byteCount();
        for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<unsigned char>(i * 31 + k);
        Image im{DuvAs(obj), MrPtr<MiniHeader>(Rudu::HeapObject<MiniHeader>::Create()), ImageControl()};
        im.header->set("SequenceDescription", std::string("bench"));
        im.header->set("AnatomicalSliceNo", s.slab ? 0L : k);
        (s.slab ? im.ctrl.setCount(PAR, s.images) : im.ctrl.setCount(SLC, s.images));
        if (s.slab) im.ctrl.setIndex(PAR, k);
        images.push_back(im);
    }
    return images;
}

int64_t seriesBytes(const Series& s) { return 352 + s.images * s.nCol * s.nLin * int64_t(DuvFormatBytes(s.format)); }

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A writer set up for one job of the series.
MrPtr<Viviv_NS_qomNiftiWriter> makeWriter(const Series& s) {
    MrPtr<Viviv_NS_qomNiftiWriter> w(Rudu::HeapObject<Viviv_NS_qomNiftiWriter>::Create());
    w->setExportFilePath(benchDirectory().string());
    w->setExportFileName("writer.nii");
    w->setXProtFileName((benchDirectory() / "current_prot.evp").string());
    w->setNCha(1);
    w->setNSlc(s.slab ? 1 : int(s.images));
    w->setNParFT(s.slab ? int(s.images) : 1);
    w->setNParMeas(s.slab ? int(s.images) : 1);
    w->setSliceThk(176.0);
    w->setPatientPosition("HFS");
    return w;
}

// One job through the writer; EndInit (which deletes the previous file) is
// not timed. Returns seconds, or a negative value on failure.
double writerJob(Viviv_NS_qomNiftiWriter& w, std::vector<Image>& images) {
    w.setNRep(0);
    if (w.EndInit(nullptr) != I_OK) return -1.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (Image& im : images)
        if (w.ComputeImage(im.as, im.header, im.ctrl) != I_OK) return -1.0;
    if (w.endOfJob(I_ACQ_END) != I_OK) return -1.0;
    return since(t0);
}

// The same bytes written plainly: header, then each image with one fwrite.
double plainJob(const Series& s, std::vector<Image>& images) {
    const std::string name = (benchDirectory() / "plain.nii").string();
    const size_t imageBytes = size_t(s.nCol * s.nLin) * DuvFormatBytes(s.format);
    static const std::vector<unsigned char> header(352, 0);
    std::remove(name.c_str());
    const auto t0 = std::chrono::steady_clock::now();
    std::FILE* f = std::fopen(name.c_str(), "w+b");
    if (!f) return -1.0;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    for (Image& im : images) ok = ok && std::fwrite(im.as.calcSplObjStartAddr(), 1, imageBytes, f) == imageBytes;
    ok = std::fclose(f) == 0 && ok;
    return ok ? since(t0) : -1.0;
}

void BM_WriterSeries(benchmark::State& state, const Series& s) {
    duvtrace::clearSinks();  // no sink wants the traces: the run measures the file work
    std::vector<Image> images = makeImages(s);
    MrPtr<Viviv_NS_qomNiftiWriter> w = makeWriter(s);
    for (auto _ : state) {
        const double t = writerJob(*w, images);
        if (t < 0) {
            state.SkipWithError("writer job failed");
            break;
        }
        state.SetIterationTime(t);
    }
    state.SetBytesProcessed(state.iterations() * seriesBytes(s));
}

void BM_PlainWrite(benchmark::State& state, const Series& s) {
    std::vector<Image> images = makeImages(s);
    for (auto _ : state) {
        const double t = plainJob(s, images);
        if (t < 0) {
            state.SkipWithError("plain write failed");
            break;
        }
        state.SetIterationTime(t);
    }
    state.SetBytesProcessed(state.iterations() * seriesBytes(s));
}

// Writer and plain write alternating in one loop, so that both see the same
// load on a shared machine. The iteration time is the writer's; the counter
// "ratio" is the writer's throughput over the plain write's.
void BM_WriterVsPlain(benchmark::State& state, const Series& s) {
    duvtrace::clearSinks();
    std::vector<Image> images = makeImages(s);
    MrPtr<Viviv_NS_qomNiftiWriter> w = makeWriter(s);
    double writer = 0.0, plain = 0.0;
    bool writerFirst = true;
    for (auto _ : state) {
        double tw = 0.0, tp = 0.0;
        if (writerFirst) {
            tw = writerJob(*w, images);
            tp = plainJob(s, images);
        } else {
            tp = plainJob(s, images);
            tw = writerJob(*w, images);
        }
        writerFirst = !writerFirst;
        if (tw < 0 || tp < 0) {
            state.SkipWithError("a job failed");
            break;
        }
        writer += tw;
        plain += tp;
        state.SetIterationTime(tw);
    }
    state.SetBytesProcessed(state.iterations() * seriesBytes(s));
    state.counters["plain_ms"] = benchmark::Counter(1e3 * plain / double(state.iterations()));
    state.counters["ratio"] = benchmark::Counter(writer > 0 ? plain / writer : 0.0);
}

BENCHMARK_CAPTURE(BM_WriterSeries, slab_176x256x256_int16, kSlab)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlainWrite, slab_176x256x256_int16, kSlab)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterVsPlain, slab_176x256x256_int16, kSlab)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterSeries, complex_64x256x256, kComplex)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlainWrite, complex_64x256x256, kComplex)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriterVsPlain, complex_64x256x256, kComplex)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
