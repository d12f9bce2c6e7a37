// ISMRMRD acquisitions and images to the measurement files of docs/formats.md.
//
// Acquisitions become the readouts of a chemical-shift imaging measurement
// with the ISMRMRD readout as the "spectral" axis: kspace_encode_step_1 is the
// first phase-encoding direction (scan header line), kspace_encode_step_2 the
// third (segment, the slab normal). Images become image records with their
// control indices and slice geometry. The mapping of every field and the
// defaults are in docs/formats.md ("ISMRMRD files").
#include "IsmrmrdImport.h"

#include <ismrmrd/dataset.h>
#include <ismrmrd/meta.h>
#include <ismrmrd/xml.h>

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "Geometry.h"
#include "MeasurementFiles.h"
#include "ProtocolBuilder.h"
#include "duvhost/MrMath.h"
#include "duvhost/XProtocol.h"

namespace duvoffline {

namespace {

namespace fs = std::filesystem;
using MrMath::VectorPat;
using namespace ISMRMRD;  // the C interface lives in this namespace in C++

// ---------------------------------------------------------------------------
// The library reports errors through a process-wide handler (by default it
// prints them); duv keeps the first message of the failing call for its own
// one-line error.
// ---------------------------------------------------------------------------
std::mutex errorMutex;
std::string firstLibraryError;

void collectLibraryError(const char*, int, const char*, int, const char* message) {
    std::lock_guard<std::mutex> lock(errorMutex);
    if (firstLibraryError.empty() && message) firstLibraryError = message;
}

void resetLibraryErrors() {
    static std::once_flag once;
    std::call_once(once, [] {
        ismrmrd_set_error_handler(collectLibraryError);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // no HDF5 error stacks on standard error
    });
    std::lock_guard<std::mutex> lock(errorMutex);
    firstLibraryError.clear();
}

std::string libraryError() {
    std::lock_guard<std::mutex> lock(errorMutex);
    std::string m = firstLibraryError;
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    for (char& c : m)
        if (c == '\n') c = ' ';
    return m.empty() ? "no reason given" : m;
}

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += (s.empty() ? "" : ", ") + x;
    return v.empty() ? "none" : s;
}

// Names of the groups directly below `path` of an open HDF5 file.
std::vector<std::string> groupsBelow(hid_t file, const std::string& path) {
    std::vector<std::string> names;
    const hid_t g = H5Gopen2(file, path.c_str(), H5P_DEFAULT);
    if (g < 0) return names;
    H5G_info_t info;
    if (H5Gget_info(g, &info) >= 0) {
        for (hsize_t k = 0; k < info.nlinks; ++k) {
            char name[1024];
            const ssize_t n =
                H5Lget_name_by_idx(g, ".", H5_INDEX_NAME, H5_ITER_INC, k, name, sizeof name, H5P_DEFAULT);
            if (n <= 0 || size_t(n) >= sizeof name) continue;
            const hid_t child = H5Gopen2(g, name, H5P_DEFAULT);
            if (child < 0) continue;  // a data set, not a group
            H5Gclose(child);
            names.emplace_back(name);
        }
    }
    H5Gclose(g);
    return names;
}

// ---------------------------------------------------------------------------
// Record checks made with HDF5 itself before the library reads a record.
// ---------------------------------------------------------------------------

// Closes an HDF5 handle when the scope ends.
class H5Handle {
public:
    H5Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    H5Handle(H5Handle&& o) noexcept : id_(o.id_), close_(o.close_) { o.id_ = -1; }
    ~H5Handle() {
        if (id_ >= 0) close_(id_);
    }
    H5Handle(const H5Handle&) = delete;
    H5Handle& operator=(const H5Handle&) = delete;
    H5Handle& operator=(H5Handle&&) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// One record of a stored array: the data set, its space with element
// `index` of the first dimension selected, and its dimensions.
struct StoredRecord {
    H5Handle dataset, space;
    std::vector<hsize_t> dims;
};

StoredRecord openRecord(hid_t file, const std::string& path, uint32_t index, const std::string& where,
                        const char* what) {
    const bool exists = H5Lexists(file, path.c_str(), H5P_DEFAULT) > 0;
    H5Handle dataset(exists ? H5Dopen2(file, path.c_str(), H5P_DEFAULT) : -1, H5Dclose);
    if (!dataset.ok()) throw IsmrmrdError(where + ": no " + what + " (" + path + ")");
    H5Handle space(H5Dget_space(dataset.get()), H5Sclose);
    const int rank = space.ok() ? H5Sget_simple_extent_ndims(space.get()) : -1;
    if (rank < 1) throw IsmrmrdError(where + ": " + what + " (" + path + ") is not an array");
    std::vector<hsize_t> dims(static_cast<size_t>(rank));
    H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    if (index >= dims[0])
        throw IsmrmrdError(where + ": " + what + " (" + path + ") holds " + std::to_string(dims[0]) + " records");
    std::vector<hsize_t> start(size_t(rank), 0), count(dims);
    start[0] = index;
    count[0] = 1;
    H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
    return {std::move(dataset), std::move(space), std::move(dims)};
}

// The library counts the records of a stored array without asking whether
// it is one: for a data set without dimensions it allocates a negative (or
// zero) number of them and reads the first. A data set that exists must be
// an array.
void checkStoredArray(hid_t file, const std::string& path, const std::string& where, const char* what) {
    if (H5Lexists(file, path.c_str(), H5P_DEFAULT) <= 0) return;
    H5Handle dataset(H5Dopen2(file, path.c_str(), H5P_DEFAULT), H5Dclose);
    H5Handle space(dataset.ok() ? H5Dget_space(dataset.get()) : -1, H5Sclose);
    if (!space.ok() || H5Sget_simple_extent_ndims(space.get()) < 1)
        throw IsmrmrdError(where + ": " + what + " (" + path + ") is not an array");
}

// A compound memory type with the named members of `fields` (nested
// compounds allowed): HDF5 reads just those members of a stored record.
hid_t compoundOf(size_t size, std::initializer_list<std::tuple<const char*, size_t, hid_t>> fields) {
    const hid_t t = H5Tcreate(H5T_COMPOUND, size);
    for (const auto& [name, offset, type] : fields) H5Tinsert(t, name, offset, type);
    return t;
}

// The stored lengths of the variable-length members `names` of record
// `index`, read from the raw bytes of its chunk. HDF5 itself allocates and
// clears a buffer of the stored length before it finds that the file holds
// no such data: a length of 2^32 from a 36 KB file takes gigabytes and
// minutes. Returns false when the record is not in an unfiltered chunk of a
// one-dimensional data set (the lengths are then left to HDF5).
template <size_t N>
bool storedSequenceLengths(hid_t file, const StoredRecord& r, uint32_t index, const char* const (&names)[N],
                           uint32_t (&lengths)[N]) {
    H5Handle create(H5Dget_create_plist(r.dataset.get()), H5Pclose);
    hsize_t chunk = 0;
    if (!create.ok() || r.dims.size() != 1 || H5Pget_layout(create.get()) != H5D_CHUNKED ||
        H5Pget_nfilters(create.get()) != 0 || H5Pget_chunk(create.get(), 1, &chunk) != 1 || chunk == 0)
        return false;
    H5Handle type(H5Dget_type(r.dataset.get()), H5Tclose);
    const size_t recordBytes = type.ok() ? H5Tget_size(type.get()) : 0;
    const hsize_t offset = index - index % chunk;
    hsize_t stored = 0, fileBytes = 0;
    if (recordBytes == 0 || H5Dget_chunk_storage_size(r.dataset.get(), &offset, &stored) < 0 ||
        H5Fget_filesize(file, &fileBytes) < 0 || stored > fileBytes || stored != chunk * recordBytes)
        return false;
    std::vector<unsigned char> raw(static_cast<size_t>(stored));
    uint32_t filters = 0;
    if (H5Dread_chunk(r.dataset.get(), H5P_DEFAULT, &offset, &filters, raw.data()) < 0) return false;
    for (size_t k = 0; k < N; ++k) {
        const int member = H5Tget_member_index(type.get(), names[k]);
        if (member < 0 || H5Tget_member_class(type.get(), unsigned(member)) != H5T_VLEN) return false;
        // A stored sequence starts with its length, 32 bits little-endian.
        const size_t at = size_t(index - offset) * recordBytes + H5Tget_member_offset(type.get(), unsigned(member));
        if (at + 4 > raw.size()) return false;
        lengths[k] = uint32_t(raw[at]) | uint32_t(raw[at + 1]) << 8 | uint32_t(raw[at + 2]) << 16 |
                     uint32_t(raw[at + 3]) << 24;
    }
    return true;
}

// number_of_samples, active_channels and trajectory_dimensions of a stored
// acquisition against the lengths of its data and trajectory arrays.
void checkAcquisitionRecord(hid_t file, const std::string& path, uint32_t index, const std::string& where) {
    struct Counts {
        uint16_t samples, channels, trajectoryDims;
    };
    struct Record {
        Counts head;
        hvl_t traj, data;
    };
    StoredRecord r = openRecord(file, path, index, where, "acquisition data");
    H5Handle head(compoundOf(sizeof(Counts), {{"number_of_samples", offsetof(Counts, samples), H5T_NATIVE_UINT16},
                                              {"active_channels", offsetof(Counts, channels), H5T_NATIVE_UINT16},
                                              {"trajectory_dimensions", offsetof(Counts, trajectoryDims),
                                               H5T_NATIVE_UINT16}}),
                  H5Tclose);
    const hsize_t one = 1;
    H5Handle memory(H5Screate_simple(1, &one, nullptr), H5Sclose);
    const char* const unreadable = ": not a readable acquisition record (header, trajectory and data of floats)";
    H5Handle headOnly(compoundOf(sizeof(Counts), {{"head", 0, head.get()}}), H5Tclose);
    Counts c{};
    if (H5Dread(r.dataset.get(), headOnly.get(), memory.get(), r.space.get(), H5P_DEFAULT, &c) < 0)
        throw IsmrmrdError(where + unreadable);
    const uint64_t wantData = 2ull * c.samples * c.channels, wantTraj = uint64_t(c.samples) * c.trajectoryDims;
    auto compare = [&](uint64_t trajLen, uint64_t dataLen) {
        if (dataLen != wantData)
            throw IsmrmrdError(where + ": field active_channels: " + std::to_string(c.channels) + " channels of " +
                               std::to_string(c.samples) + " samples (number_of_samples) need " +
                               std::to_string(wantData) + " floats; the record's data hold " +
                               std::to_string(dataLen));
        if (trajLen != wantTraj)
            throw IsmrmrdError(where + ": field trajectory_dimensions: " + std::to_string(c.trajectoryDims) +
                               " dimensions of " + std::to_string(c.samples) + " samples (number_of_samples) need " +
                               std::to_string(wantTraj) + " floats; the record's trajectory holds " +
                               std::to_string(trajLen));
    };
    // The lengths as stored first, so that HDF5 never sizes a buffer from a
    // length the header does not agree with.
    uint32_t lengths[2];
    if (storedSequenceLengths(file, r, index, {"traj", "data"}, lengths)) compare(lengths[0], lengths[1]);
    H5Handle floats(H5Tvlen_create(H5T_NATIVE_FLOAT), H5Tclose);
    H5Handle type(compoundOf(sizeof(Record), {{"head", offsetof(Record, head), head.get()},
                                              {"traj", offsetof(Record, traj), floats.get()},
                                              {"data", offsetof(Record, data), floats.get()}}),
                  H5Tclose);
    Record rec{};
    if (H5Dread(r.dataset.get(), type.get(), memory.get(), r.space.get(), H5P_DEFAULT, &rec) < 0)
        throw IsmrmrdError(where + unreadable);
    const size_t trajLen = rec.traj.len, dataLen = rec.data.len;
    H5Dvlen_reclaim(type.get(), memory.get(), H5P_DEFAULT, &rec);
    compare(trajLen, dataLen);
}

const char* dataTypeName(int t) {
    switch (t) {
        case ISMRMRD_USHORT: return "unsigned short";
        case ISMRMRD_SHORT: return "short";
        case ISMRMRD_UINT: return "unsigned int";
        case ISMRMRD_INT: return "int";
        case ISMRMRD_FLOAT: return "float";
        case ISMRMRD_DOUBLE: return "double";
        case ISMRMRD_CXFLOAT: return "complex float";
        case ISMRMRD_CXDOUBLE: return "complex double";
        default: return "unknown";
    }
}

// matrix_size, channels, data_type and attribute_string_len of a stored
// image header against the image's data array and attribute string.
void checkImageRecord(hid_t file, const std::string& path, uint32_t index, const std::string& where) {
    struct Counts {
        uint16_t dataType;
        uint16_t matrix[3];
        uint16_t channels;
        uint32_t attributeLen;
    };
    StoredRecord hr = openRecord(file, path + "/header", index, where, "image header");
    const hsize_t three = 3, one = 1;
    H5Handle matrix(H5Tarray_create2(H5T_NATIVE_UINT16, 1, &three), H5Tclose);
    H5Handle type(compoundOf(sizeof(Counts), {{"data_type", offsetof(Counts, dataType), H5T_NATIVE_UINT16},
                                              {"matrix_size", offsetof(Counts, matrix), matrix.get()},
                                              {"channels", offsetof(Counts, channels), H5T_NATIVE_UINT16},
                                              {"attribute_string_len", offsetof(Counts, attributeLen),
                                               H5T_NATIVE_UINT32}}),
                  H5Tclose);
    H5Handle memory(H5Screate_simple(1, &one, nullptr), H5Sclose);
    Counts c{};
    if (H5Dread(hr.dataset.get(), type.get(), memory.get(), hr.space.get(), H5P_DEFAULT, &c) < 0)
        throw IsmrmrdError(where + ": not a readable image header");
    // Only these types are converted. Any other is refused here: on a code it
    // does not know the library fails after allocating, and leaks.
    if (c.dataType != ISMRMRD_SHORT && c.dataType != ISMRMRD_FLOAT && c.dataType != ISMRMRD_CXFLOAT)
        throw IsmrmrdError(where + ": field data_type: " + std::to_string(c.dataType) + " (" +
                           dataTypeName(c.dataType) + ") is not supported: short, float or complex float");

    // The library stores x fastest: the data set is [images, channels, z, y, x].
    StoredRecord dr = openRecord(file, path + "/data", index, where, "image data");
    const uint64_t want[5] = {0, c.channels, c.matrix[2], c.matrix[1], c.matrix[0]};
    if (dr.dims.size() != 5)
        throw IsmrmrdError(where + ": field matrix_size: the stored data have " + std::to_string(dr.dims.size()) +
                           " dimensions, not images x channels x z x y x x");
    const char* const names[5] = {"", "channels", "matrix_size[2]", "matrix_size[1]", "matrix_size[0]"};
    for (int k = 1; k < 5; ++k)
        if (dr.dims[size_t(k)] != want[k])
            throw IsmrmrdError(where + ": field " + (k == 1 ? "channels" : "matrix_size") + ": " + names[k] + " is " +
                               std::to_string(want[k]) + "; the stored data hold " + std::to_string(dr.dims[size_t(k)]));
    // Data of another element type are converted by HDF5 when the classes
    // agree; a stored type that cannot become the header's is refused here
    // rather than half-read by the library.
    H5Handle stored(H5Dget_type(dr.dataset.get()), H5Tclose);
    const H5T_class_t cls = H5Tget_class(stored.get());
    const bool fits = c.dataType == ISMRMRD_CXFLOAT
                          ? cls == H5T_COMPOUND && H5Tget_nmembers(stored.get()) == 2
                          : cls == H5T_INTEGER || cls == H5T_FLOAT;
    if (!fits) throw IsmrmrdError(where + ": field data_type: " + std::to_string(c.dataType) +
                                  " does not describe the stored data");

    StoredRecord ar = openRecord(file, path + "/attributes", index, where, "image attributes");
    H5Handle text(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(text.get(), H5T_VARIABLE);
    char* attributes = nullptr;
    if (H5Dread(ar.dataset.get(), text.get(), memory.get(), ar.space.get(), H5P_DEFAULT, &attributes) < 0)
        throw IsmrmrdError(where + ": field attribute_string_len: the attribute string cannot be read");
    const size_t stored_len = attributes ? std::strlen(attributes) : 0;
    H5free_memory(attributes);
    if (c.attributeLen > stored_len)
        throw IsmrmrdError(where + ": field attribute_string_len: " + std::to_string(c.attributeLen) +
                           " bytes; the stored attribute string holds " + std::to_string(stored_len));
}

// One open ISMRMRD dataset, read through the C interface of libismrmrd. The
// file is opened read-only here: the library's own open asks for write
// access (refused for a read-only file) and adds the group when it is
// missing, and the input must stay as it is.
class IsmrmrdFile {
public:
    IsmrmrdFile(const std::string& file, const std::string& group) : file_(file), group_(group) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) throw IsmrmrdError(file + ": no such file");
        resetLibraryErrors();
        if (H5Fis_hdf5(file.c_str()) <= 0) throw IsmrmrdError(file + ": not an HDF5 file (ISMRMRD files are HDF5)");
        const hid_t id = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        if (id < 0) throw IsmrmrdError(file + ": cannot be opened for reading");
        ismrmrd_init_dataset(&d_, file.c_str(), group.c_str());  // keeps the names only
        d_.fileid = id;
        const std::vector<std::string> top = groupsBelow(d_.fileid, "/");
        if (std::find(top.begin(), top.end(), group) == top.end()) {
            close();
            throw IsmrmrdError(file + ": no dataset \"" + group + "\" (datasets in the file: " + joined(top) + ")");
        }
    }
    ~IsmrmrdFile() { close(); }
    IsmrmrdFile(const IsmrmrdFile&) = delete;
    IsmrmrdFile& operator=(const IsmrmrdFile&) = delete;

    const std::string& file() const { return file_; }
    const std::string& group() const { return group_; }

    std::optional<std::string> xml() {
        resetLibraryErrors();
        char* text = ismrmrd_read_header(&d_);
        if (!text) return std::nullopt;
        std::string s(text);
        std::free(text);
        return s;
    }

    uint32_t acquisitions() {
        checkStoredArray(d_.fileid, "/" + group_ + "/data", file_, "acquisitions");
        resetLibraryErrors();
        return ismrmrd_get_number_of_acquisitions(&d_);
    }

    // Groups of the dataset that hold images.
    std::vector<std::string> imageGroups() {
        std::vector<std::string> out;
        for (const std::string& g : groupsBelow(d_.fileid, "/" + group_))
            if (images(g) > 0) out.push_back(g);
        return out;
    }

    uint32_t images(const std::string& var) {
        checkStoredArray(d_.fileid, "/" + group_ + "/" + var + "/header", file_, "image headers");
        resetLibraryErrors();
        return ismrmrd_get_number_of_images(&d_, var.c_str());
    }

    // The library sizes its buffers from the record's header and copies the
    // stored arrays into them without comparing the two, so every count is
    // checked against what the file really holds first.
    void readAcquisition(uint32_t index, ISMRMRD_Acquisition& acq) {
        const std::string where = file_ + ": acquisition " + std::to_string(index);
        checkAcquisitionRecord(d_.fileid, "/" + group_ + "/data", index, where);
        resetLibraryErrors();
        if (ismrmrd_read_acquisition(&d_, index, &acq) != ISMRMRD_NOERROR)
            throw IsmrmrdError(where + ": cannot be read: " + libraryError());
    }

    void readImage(const std::string& var, uint32_t index, ISMRMRD_Image& image) {
        const std::string where = file_ + ": image " + std::to_string(index);
        checkImageRecord(d_.fileid, "/" + group_ + "/" + var, index, where);
        resetLibraryErrors();
        if (ismrmrd_read_image(&d_, var.c_str(), index, &image) != ISMRMRD_NOERROR)
            throw IsmrmrdError(where + ": cannot be read: " + libraryError());
    }

private:
    void close() {
        ismrmrd_close_dataset(&d_);  // closes the file; the names are ours to free
        std::free(d_.filename);
        std::free(d_.groupname);
        d_.filename = d_.groupname = nullptr;
    }
    std::string file_, group_;
    ISMRMRD_Dataset d_{};
};

struct AcquisitionBuffer {
    AcquisitionBuffer() { ismrmrd_init_acquisition(&a); }
    ~AcquisitionBuffer() { ismrmrd_cleanup_acquisition(&a); }
    AcquisitionBuffer(const AcquisitionBuffer&) = delete;
    AcquisitionBuffer& operator=(const AcquisitionBuffer&) = delete;
    ISMRMRD_Acquisition a;
};

struct ImageBuffer {
    ImageBuffer() { ismrmrd_init_image(&im); }
    ~ImageBuffer() { ismrmrd_cleanup_image(&im); }
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;
    ISMRMRD_Image im;
};

bool flagSet(uint64_t flags, int bit) { return (flags >> (bit - 1)) & 1u; }

// ---------------------------------------------------------------------------
// Geometry. ISMRMRD positions and directions are patient coordinates (LPS),
// like ours.
// ---------------------------------------------------------------------------
struct Directions {
    VectorPat read, phase, slice;
    bool defaulted = false;
};

// The library's headers are packed: their float arrays may be misaligned.
VectorPat vec(const float v[3]) {
    float f[3];
    std::memcpy(f, v, sizeof f);
    return {double(f[0]), double(f[1]), double(f[2])};
}

bool finite(const VectorPat& v) { return std::isfinite(v.dot(v)); }

// A position that is not finite would reach the slice geometry of every
// record; duv run refuses such a record, so convert must not write it.
VectorPat positionOf(const float v[3], const std::string& where) {
    const VectorPat p = vec(v);
    if (!finite(p)) throw IsmrmrdError(where + ": field position: not a finite vector");
    return p;
}

// The most slices a measurement file holds.
constexpr int kMaxSlices = 4096;

// The three direction cosines of a header. All three zero (files without
// geometry, such as the phantom generator's) stand for the transverse frame
// read = left, phase = posterior, slice = head. A zero slice direction is
// read x phase. Anything else must be orthonormal.
Directions directionsOf(const float r[3], const float p[3], const float s[3], const std::string& where) {
    Directions d{vec(r), vec(p), vec(s)};
    const double tol = 1e-3;
    for (const auto& [v, field] : {std::pair{d.read, "read_dir"}, {d.phase, "phase_dir"}, {d.slice, "slice_dir"}})
        if (!finite(v)) throw IsmrmrdError(where + ": field " + field + ": not a finite vector");
    if (d.read.norm() < 1e-6 && d.phase.norm() < 1e-6 && d.slice.norm() < 1e-6)
        return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, true};
    auto unit = [&](const VectorPat& v, const char* field) {
        if (std::fabs(v.norm() - 1.0) > tol)
            throw IsmrmrdError(where + ": field " + field + ": not a unit vector (length " + std::to_string(v.norm()) +
                               ")");
        return v.normalized();
    };
    d.read = unit(d.read, "read_dir");
    d.phase = unit(d.phase, "phase_dir");
    if (std::fabs(d.read.dot(d.phase)) > tol)
        throw IsmrmrdError(where + ": field phase_dir: not orthogonal to read_dir");
    if (d.slice.norm() < 1e-6) {
        d.slice = d.read.cross(d.phase);
    } else {
        d.slice = unit(d.slice, "slice_dir");
        if (std::fabs(d.slice.dot(d.read)) > tol || std::fabs(d.slice.dot(d.phase)) > tol)
            throw IsmrmrdError(where + ": field slice_dir: not orthogonal to read_dir and phase_dir");
    }
    return d;
}

// The slice frame of our convention (MrMath: normal and in-plane rotation,
// readout = normal x phase) whose readout vector is `readout`.
duvfiles::Frame frameWithReadout(const VectorPat& centre, const VectorPat& normal, const VectorPat& readout) {
    const duvfiles::Frame unrotated = duvfiles::makeFrame(centre, normal, 0.0);
    // readout' = sin(a) phase + cos(a) readout (docs/conventions.md).
    const double angle = std::atan2(readout.dot(unrotated.phase), readout.dot(unrotated.readout));
    return duvfiles::makeFrame(centre, normal, angle);
}

// ---------------------------------------------------------------------------
// The XML protocol header.
// ---------------------------------------------------------------------------
struct Header {
    bool present = false;
    ISMRMRD::IsmrmrdHeader h;
};

Header readHeader(IsmrmrdFile& ds) {
    Header out;
    const std::optional<std::string> xml = ds.xml();
    if (!xml) return out;
    try {
        ISMRMRD::deserialize(xml->c_str(), out.h);
    } catch (const std::exception& e) {
        throw IsmrmrdError(ds.file() + ": XML header: " + e.what());
    }
    out.present = true;
    return out;
}

const char* const kPatientPositions[] = {"HFS", "HFP", "FFS", "FFP", "HFDL", "HFDR", "FFDL", "FFDR"};

std::string patientPositionOf(const Header& hdr, const std::string& file, std::vector<std::string>& notes) {
    if (hdr.present && hdr.h.measurementInformation && !hdr.h.measurementInformation->patientPosition.empty()) {
        const std::string& p = hdr.h.measurementInformation->patientPosition;
        for (const char* known : kPatientPositions)
            if (p == known) return p;
        throw IsmrmrdError(file + ": XML header: field measurementInformation.patientPosition: unknown patient position \"" +
                           p + "\"");
    }
    notes.push_back("no patient position in the XML header: HFS assumed");
    return "HFS";
}

std::string protocolNameOf(const Header& hdr, const std::string& file) {
    if (hdr.present && hdr.h.measurementInformation && hdr.h.measurementInformation->protocolName &&
        !hdr.h.measurementInformation->protocolName->empty())
        return *hdr.h.measurementInformation->protocolName;
    return fs::path(file).stem().string();
}

// TR, TE, TI (ms in the header, microseconds in the protocol), flip angles
// and the sequence type; what the header lacks keeps the protocol builder's
// defaults (TR 2000 ms, TE 30 ms, TI 0, flip angles 90 and 180 degrees).
// A time of the XML header in ms as protocol microseconds: finite, not
// negative, and within the 32-bit range of a protocol time.
long microseconds(float ms, const std::string& file, const char* field) {
    if (!std::isfinite(ms) || ms < 0.0f || double(ms) * 1000.0 > 2147483647.0)
        throw IsmrmrdError(file + ": XML header: field sequenceParameters." + field + ": " + std::to_string(ms) +
                           " ms is not a time of 0 to 2147483.647 ms");
    return std::lround(double(ms) * 1000.0);
}

void applySequenceParameters(const Header& hdr, const std::string& file, duvfiles::ProtocolSpec& ps,
                             std::vector<std::string>& defaulted) {
    const ISMRMRD::SequenceParameters* sp =
        hdr.present && hdr.h.sequenceParameters ? &*hdr.h.sequenceParameters : nullptr;
    auto take = [&](const ISMRMRD::Optional<std::vector<float>> ISMRMRD::SequenceParameters::*field, long& us,
                    const char* name) {
        if (sp && (sp->*field) && !(sp->*field)->empty())
            us = microseconds((sp->*field)->front(), file, name);
        else
            defaulted.push_back(name);
    };
    take(&ISMRMRD::SequenceParameters::TR, ps.trUs, "TR");
    take(&ISMRMRD::SequenceParameters::TE, ps.teUs, "TE");
    take(&ISMRMRD::SequenceParameters::TI, ps.tiUs, "TI");
    if (sp && sp->flipAngle_deg && !sp->flipAngle_deg->empty()) {
        for (float a : *sp->flipAngle_deg)
            if (!std::isfinite(a))
                throw IsmrmrdError(file + ": XML header: field sequenceParameters.flipAngle_deg: not a finite angle");
        ps.flipAngle1 = sp->flipAngle_deg->at(0);
        if (sp->flipAngle_deg->size() > 1) ps.flipAngle2 = sp->flipAngle_deg->at(1);
    } else {
        defaulted.push_back("flip angle");
    }
    if (sp && sp->sequence_type && !sp->sequence_type->empty()) ps.sequenceString = *sp->sequence_type;
}

// Every echo time of the header (the protocol builder writes the first only).
void applyEchoTimes(const Header& hdr, const std::string& file, XProtocol& p) {
    if (!hdr.present || !hdr.h.sequenceParameters || !hdr.h.sequenceParameters->TE) return;
    const std::vector<float>& te = *hdr.h.sequenceParameters->TE;
    for (size_t k = 0; k < te.size(); ++k) p.SetLong("MEAS.alTE." + std::to_string(k), microseconds(te[k], file, "TE"));
}

// Names of the receive coil elements, from the header's coil labels.
void applyCoilLabels(const Header& hdr, XProtocol& p, int channels) {
    if (!hdr.present || !hdr.h.acquisitionSystemInformation) return;
    const ISMRMRD::AcquisitionSystemInformation& sys = *hdr.h.acquisitionSystemInformation;
    for (const ISMRMRD::CoilLabel& c : sys.coilLabel)
        if (int(c.coilNumber) < channels && !c.coilName.empty())
            p.SetString("YAPS.CoilSelects.0." + std::to_string(c.coilNumber) + ".CoilElementID", c.coilName);
    if (sys.systemModel && !sys.systemModel->empty()) p.SetString("YAPS.atCoilSelectInfoText", *sys.systemModel);
}

void baseSpec(const Header& hdr, const std::string& file, duvfiles::ProtocolSpec& ps, std::vector<std::string>& notes) {
    ps.protocolName = protocolNameOf(hdr, file);
    ps.sequenceFileName = "ismrmrd";
    ps.sequenceString = "ismrmrd";
    ps.patientPosition = patientPositionOf(hdr, file, notes);
    std::vector<std::string> defaulted;
    if (hdr.present && hdr.h.experimentalConditions.H1resonanceFrequency_Hz > 0)
        ps.frequencyMHz = double(hdr.h.experimentalConditions.H1resonanceFrequency_Hz) * 1e-6;
    else
        defaulted.push_back("resonance frequency");
    applySequenceParameters(hdr, file, ps, defaulted);
    if (!defaulted.empty()) notes.push_back("not in the XML header, defaults used: " + joined(defaulted));
}

// ---------------------------------------------------------------------------
// Output files: written under temporary names, kept only when complete.
// ---------------------------------------------------------------------------
class OutputFiles {
public:
    explicit OutputFiles(const fs::path& dir) : dir_(dir) { clear(dir); }
    // Creates DIR and removes the measurement files in it.
    static void clear(const fs::path& dir) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec || !fs::is_directory(dir)) throw IsmrmrdError(dir.string() + ": cannot be created");
        for (const char* f : {"protocol.txt", "readouts.bin", "images.bin"}) {
            fs::remove(dir / f, ec);
            if (ec) throw IsmrmrdError((dir / f).string() + ": cannot be replaced: " + ec.message());
        }
    }
    ~OutputFiles() {
        std::error_code ec;
        for (const std::string& f : pending_) fs::remove(dir_ / (f + ".partial"), ec);
    }
    std::string path(const std::string& name) {
        pending_.push_back(name);
        return (dir_ / (name + ".partial")).string();
    }
    void keep() {
        for (const std::string& f : pending_) fs::rename(dir_ / (f + ".partial"), dir_ / f);
        pending_.clear();
    }

private:
    fs::path dir_;
    std::vector<std::string> pending_;
};

void writeProtocolFile(const std::string& path, const XProtocol& protocol, const std::string& source) {
    std::ofstream f(path);
    if (!f) throw std::runtime_error(path + ": cannot be written");
    f << "# Measurement protocol mapped by duv convert from " << source << "\n";
    if (protocol.SaveToStream(f) != 0 || !f) throw std::runtime_error(path + ": write failed");
}

void mergeOverrides(XProtocol& protocol, const std::string& overridesFile) {
    if (overridesFile.empty()) return;
    protocol.Merge(XProtocol::LoadFromFile(overridesFile));
}

// ---------------------------------------------------------------------------
// Acquisitions.
// ---------------------------------------------------------------------------

// The encoded k-space as the spectroscopy store sees it: n1 points along the
// first direction (kspace_encode_step_1), n3 along the third
// (kspace_encode_step_2), the readout oversampling, the fields of view.
struct Grid {
    int n1 = 1, n3 = 1;
    int centre1 = 0, centre3 = 0;  // k-space centre in the file's counters
    int oversampling = 1;
    double fov1 = 0.0;       // along phase_dir (encoded field of view y), mm
    double fovRead = 0.0;    // along read_dir after oversampling removal (reconstructed x), mm
    double thickness = 0.0;  // slice or slab (encoded z), mm
};

Grid gridOf(const Header& hdr, const std::string& file) {
    const std::string where = file + ": XML header: ";
    if (!hdr.present)
        throw IsmrmrdError(file + ": no XML header: the encoded matrix, field of view and readout oversampling of the "
                                  "acquisitions come from it");
    if (hdr.h.encoding.empty()) throw IsmrmrdError(where + "field encoding: missing");
    const ISMRMRD::Encoding& e = hdr.h.encoding.front();
    if (e.trajectory != ISMRMRD::TrajectoryType::CARTESIAN)
        throw IsmrmrdError(where + "field encoding.trajectory: not cartesian: only Cartesian acquisitions map to "
                                   "phase-encoding counters");
    const ISMRMRD::MatrixSize& enc = e.encodedSpace.matrixSize;
    const ISMRMRD::MatrixSize& rec = e.reconSpace.matrixSize;
    if (enc.x < 1 || enc.y < 1 || enc.z < 1) throw IsmrmrdError(where + "field encodedSpace.matrixSize: a size is 0");
    if (rec.x < 1) throw IsmrmrdError(where + "field reconSpace.matrixSize.x: 0");
    if (enc.x != rec.x && enc.x != 2 * rec.x)
        throw IsmrmrdError(where + "field encodedSpace.matrixSize.x: " + std::to_string(enc.x) +
                           " is neither 1 nor 2 times reconSpace.matrixSize.x " + std::to_string(rec.x) +
                           ": the readout oversampling must be 1 or 2");
    Grid g;
    g.n1 = enc.y;
    g.n3 = enc.z;
    g.oversampling = enc.x / rec.x;
    g.fov1 = e.encodedSpace.fieldOfView_mm.y;
    g.fovRead = e.reconSpace.fieldOfView_mm.x;
    g.thickness = e.encodedSpace.fieldOfView_mm.z;
    if (!(g.fov1 > 0.0) || !(g.fovRead > 0.0) || !(g.thickness > 0.0) || !std::isfinite(g.fov1 + g.fovRead + g.thickness))
        throw IsmrmrdError(where + "field fieldOfView_mm: encodedSpace y and z and reconSpace x must be positive");
    const ISMRMRD::EncodingLimits& lim = e.encodingLimits;
    g.centre1 = lim.kspace_encoding_step_1 ? lim.kspace_encoding_step_1->center : g.n1 / 2;
    g.centre3 = lim.kspace_encoding_step_2 ? lim.kspace_encoding_step_2->center : g.n3 / 2;
    if (g.n3 == 1) g.centre3 = 0;
    return g;
}

// Store index of a k-space counter: the k-space centre goes to n/2, and the
// order is reversed about it (m -> (n - m) mod n), because ISMRMRD k-space is
// the transform of the image with exp(-i 2 pi k x) while the spectroscopy
// module's spatial transform expects exp(+i 2 pi k x) (docs/conventions.md).
// With the reversal voxel i of the module's grid is pixel i of the image an
// ISMRMRD reconstruction gives, and lies where the geometry says.
uint16_t storeIndex(int counter, int centre, int n, const std::string& where, const char* field) {
    const int m = counter - centre + n / 2;
    if (m < 0 || m >= n)
        throw IsmrmrdError(where + ": field idx." + field + ": " + std::to_string(counter) +
                           " lies outside the encoded matrix of " + std::to_string(n) + " (k-space centre " +
                           std::to_string(centre) + ")");
    return uint16_t((n - m) % n);
}

struct SliceGeometry {
    VectorPat position;
    Directions dirs;
};

// What the first pass learns about the acquisitions.
struct AcquisitionScan {
    uint32_t total = 0;
    std::vector<bool> keep;
    bool haveLayout = false;
    int kept = 0, channels = 0;  // samples after discard_pre and discard_post; active channels
    int pre = 0, post = 0;       // of the first imaging readout
    float dwellUs = 0.0f;
    int slices = 0, averages = 0, repetitions = 0, contrasts = 0;
    std::map<int, SliceGeometry> geometry;  // first imaging readout of each slice
    std::map<std::string, uint64_t> skipped;
    uint64_t reversed = 0;
    bool defaultGeometry = false;
};

// Readouts that are not part of the image k-space and have no place in the
// spectroscopy store.
const char* skipReason(uint64_t flags) {
    if (flagSet(flags, ISMRMRD_ACQ_IS_NAVIGATION_DATA)) return "navigator";
    if (flagSet(flags, ISMRMRD_ACQ_IS_DUMMYSCAN_DATA)) return "dummy scan";
    if (flagSet(flags, ISMRMRD_ACQ_IS_RTFEEDBACK_DATA)) return "real-time feedback";
    if (flagSet(flags, ISMRMRD_ACQ_IS_HPFEEDBACK_DATA)) return "high-performance feedback";
    if (flagSet(flags, ISMRMRD_ACQ_IS_PHASE_STABILIZATION_REFERENCE) ||
        flagSet(flags, ISMRMRD_ACQ_IS_PHASE_STABILIZATION))
        return "phase stabilisation";
    if (flagSet(flags, ISMRMRD_ACQ_IS_SURFACECOILCORRECTIONSCAN_DATA)) return "surface-coil correction";
    if (flagSet(flags, ISMRMRD_ACQ_IS_PARALLEL_CALIBRATION) &&
        !flagSet(flags, ISMRMRD_ACQ_IS_PARALLEL_CALIBRATION_AND_IMAGING))
        return "parallel-imaging calibration";
    return nullptr;
}

AcquisitionScan scanAcquisitions(IsmrmrdFile& ds, const Grid& g) {
    AcquisitionScan s;
    s.total = ds.acquisitions();
    s.keep.assign(s.total, false);
    struct Noise {
        uint32_t index;
        int samples, pre, channels;
    };
    std::vector<Noise> noise;
    AcquisitionBuffer acq;
    for (uint32_t i = 0; i < s.total; ++i) {
        ds.readAcquisition(i, acq.a);
        const ISMRMRD_AcquisitionHeader& h = acq.a.head;
        const std::string where = ds.file() + ": acquisition " + std::to_string(i);
        if (const char* why = skipReason(h.flags)) {
            ++s.skipped[why];
            continue;
        }
        if (h.encoding_space_ref != 0)
            throw IsmrmrdError(where + ": field encoding_space_ref: " + std::to_string(h.encoding_space_ref) +
                               ": only encoding space 0 is mapped");
        if (h.active_channels < 1 || h.active_channels > duvfiles::kMaxChannels)
            throw IsmrmrdError(where + ": field active_channels: " + std::to_string(h.active_channels) +
                               " channels; a readout holds 1 to " + std::to_string(duvfiles::kMaxChannels));
        const int samples = h.number_of_samples, pre = h.discard_pre, post = h.discard_post;
        if (samples < 1 || pre + post >= samples)
            throw IsmrmrdError(where + ": field number_of_samples: " + std::to_string(samples) + " samples with " +
                               std::to_string(pre) + " + " + std::to_string(post) + " to discard");
        if (flagSet(h.flags, ISMRMRD_ACQ_IS_NOISE_MEASUREMENT)) {
            noise.push_back({i, samples, pre, h.active_channels});
            continue;
        }
        const int kept = samples - pre - post;
        if (!s.haveLayout) {
            s.haveLayout = true;
            s.kept = kept;
            s.channels = h.active_channels;
            s.pre = pre;
            s.post = post;
            s.dwellUs = h.sample_time_us;
            if (kept % g.oversampling != 0)
                throw IsmrmrdError(where + ": field number_of_samples: " + std::to_string(kept) +
                                   " samples to keep are not a multiple of the readout oversampling " +
                                   std::to_string(g.oversampling));
            // At most a second per sample: the protocol holds the dwell time in ns.
            if (!(h.sample_time_us > 0.0f) || !(h.sample_time_us <= 1e6f))
                throw IsmrmrdError(where + ": field sample_time_us: " + std::to_string(h.sample_time_us) +
                                   " is not a dwell time of more than 0 and at most 1000000 us");
        } else {
            if (kept != s.kept)
                throw IsmrmrdError(where + ": field number_of_samples: " + std::to_string(kept) +
                                   " samples to keep, the first readout has " + std::to_string(s.kept));
            if (h.active_channels != s.channels)
                throw IsmrmrdError(where + ": field active_channels: " + std::to_string(h.active_channels) +
                                   " channels, the first readout has " + std::to_string(s.channels));
            if (h.sample_time_us != s.dwellUs)
                throw IsmrmrdError(where + ": field sample_time_us: " + std::to_string(h.sample_time_us) +
                                   " differs from the first readout's " + std::to_string(s.dwellUs));
        }
        if (h.idx.phase != 0)
            throw IsmrmrdError(where + ": field idx.phase: cardiac phase " + std::to_string(h.idx.phase) +
                               ": the spectroscopy store has no place for cardiac phases");
        storeIndex(h.idx.kspace_encode_step_1, g.centre1, g.n1, where, "kspace_encode_step_1");
        storeIndex(h.idx.kspace_encode_step_2, g.centre3, g.n3, where, "kspace_encode_step_2");
        const Directions d = directionsOf(h.read_dir, h.phase_dir, h.slice_dir, where);
        s.defaultGeometry = s.defaultGeometry || d.defaulted;
        if (h.idx.slice >= kMaxSlices)
            throw IsmrmrdError(where + ": field idx.slice: " + std::to_string(h.idx.slice) + ": a measurement holds " +
                               std::to_string(kMaxSlices) + " slices at most");
        s.geometry.emplace(int(h.idx.slice), SliceGeometry{positionOf(h.position, where), d});
        if (flagSet(h.flags, ISMRMRD_ACQ_IS_REVERSE)) ++s.reversed;
        s.slices = std::max(s.slices, h.idx.slice + 1);
        s.averages = std::max(s.averages, h.idx.average + 1);
        s.repetitions = std::max(s.repetitions, h.idx.repetition + 1);
        s.contrasts = std::max(s.contrasts, h.idx.contrast + 1);
        s.keep[i] = true;
    }
    if (!s.haveLayout)
        throw IsmrmrdError(ds.file() + ": dataset \"" + ds.group() + "\": no imaging acquisitions (" +
                           std::to_string(s.total) + " acquisitions, " + std::to_string(noise.size()) + " of them noise)");
    // A noise readout is kept when the store can take it like an imaging
    // readout: the same channels and enough samples behind its discard_pre.
    for (const Noise& n : noise) {
        if (n.channels == s.channels && n.samples - n.pre >= s.kept)
            s.keep[n.index] = true;
        else
            ++s.skipped["noise of another size"];
    }
    return s;
}

XProtocol acquisitionProtocol(const Header& hdr, const std::string& file, const Grid& g, const AcquisitionScan& s,
                              std::vector<std::string>& notes) {
    duvfiles::ProtocolSpec ps;
    baseSpec(hdr, file, ps, notes);
    ps.channels = s.channels;
    ps.repetitions = s.repetitions;
    const SliceGeometry& first = s.geometry.begin()->second;
    for (int k = 0; k < s.slices; ++k) {
        auto it = s.geometry.find(k);
        if (it == s.geometry.end()) notes.push_back("slice " + std::to_string(k) + " has no readouts: slice " +
                                                    std::to_string(s.geometry.begin()->first) + "'s geometry used");
        const SliceGeometry& sg = it == s.geometry.end() ? first : it->second;
        // The first direction (scan header line) runs along phase_dir: it is
        // the slice's readout vector R; the ISMRMRD readout is the spectral
        // axis and lies along the slice's phase vector P.
        const duvfiles::Frame f = frameWithReadout(sg.position, sg.dirs.slice, sg.dirs.phase);
        ps.slices.push_back({f, g.fov1, g.fovRead, g.thickness});
    }
    ps.baseResolution = g.n1;
    ps.phaseEncodingLines = 1;
    ps.partitions = g.n3;
    ps.kspaceDimension = g.n3 > 1 ? 4 : 2;
    ps.spectroscopy = true;
    ps.sampling.frequencyMHz = ps.frequencyMHz;
    ps.sampling.oversampling = g.oversampling;
    ps.sampling.vectorSize = s.kept / g.oversampling;
    ps.sampling.pre = s.pre;
    ps.sampling.post = s.post;
    ps.sampling.dwell = double(s.dwellUs) * 1e-6 * g.oversampling;
    ps.averages = s.averages;
    ps.finalRead = g.n1;
    ps.finalPhase = 1;
    ps.finalSlice = g.n3 > 1 ? g.n3 : 1;
    ps.voiValid = false;
    ps.voi = ps.slices.front();
    XProtocol p = duvfiles::buildProtocol(ps);
    p.SetLong("MEAS.lContrasts", s.contrasts);
    // Contrasts are stored in the echo dimension, whose length is program
    // parameter 12 (0 stands for one).
    p.SetLong("YAPS.alDUVProgramPara.12", s.contrasts > 1 ? s.contrasts : 0);
    applyEchoTimes(hdr, file, p);
    applyCoilLabels(hdr, p, s.channels);
    return p;
}

duvfiles::ReadoutRecord readoutRecord(const ISMRMRD_Acquisition& acq, const Grid& g, const std::string& where,
                                      const std::string& patientPosition) {
    const ISMRMRD_AcquisitionHeader& a = acq.head;
    duvfiles::ReadoutRecord rec;
    sScanHeader& h = rec.header;
    std::memset(&h, 0, sizeof h);
    const uint32_t samples = a.number_of_samples, channels = a.active_channels;
    h.ulFlagsAndDMALength = uint32_t(sizeof(sScanHeader) + 8u * samples * channels) & 0x01FFFFFFu;
    h.lMeasUID = int32_t(a.measurement_uid);
    h.ulScanCounter = a.scan_counter;
    h.ulTimeStamp = a.acquisition_time_stamp;
    h.ulPMUTimeStamp = a.physiology_time_stamp[0];
    uint64_t mask = 0;
    if (flagSet(a.flags, ISMRMRD_ACQ_IS_NOISE_MEASUREMENT))
        mask |= MDH_NOISEADJSCAN;
    else if (flagSet(a.flags, ISMRMRD_ACQ_IS_PHASECORR_DATA))
        mask |= MDH_PHASCOR;
    else
        mask |= MDH_ONLINE;
    if (flagSet(a.flags, ISMRMRD_ACQ_IS_REVERSE)) mask |= MDH_REFLECT;
    h.aulEvalInfoMask[0] = uint32_t(mask & 0xFFFFFFFFu);
    h.aulEvalInfoMask[1] = uint32_t(mask >> 32);
    h.ushSamplesInScan = uint16_t(samples);
    h.ushUsedChannels = uint16_t(channels);
    const bool noise = flagSet(a.flags, ISMRMRD_ACQ_IS_NOISE_MEASUREMENT);
    // Noise readouts carry no k-space position: they stay at the centre.
    h.sLC.ushLine = noise ? uint16_t(g.n1 / 2)
                          : storeIndex(a.idx.kspace_encode_step_1, g.centre1, g.n1, where, "kspace_encode_step_1");
    const uint16_t third =
        noise || g.n3 == 1 ? uint16_t(g.n3 / 2)
                           : storeIndex(a.idx.kspace_encode_step_2, g.centre3, g.n3, where, "kspace_encode_step_2");
    h.sLC.ushSeg = third;
    h.sLC.ushPartition = third;
    h.sLC.ushSet = a.idx.average;
    h.sLC.ushEcho = a.idx.contrast;
    h.sLC.ushSlice = a.idx.slice;
    h.sLC.ushRepetition = a.idx.repetition;
    h.sLC.ushPhase = a.idx.phase;
    h.sLC.ushIda = a.idx.set;
    h.sLC.ushIdb = a.idx.segment;
    h.sCutOff.ushPre = a.discard_pre;
    h.sCutOff.ushPost = a.discard_post;
    h.ushKSpaceCentreColumn = a.center_sample;
    h.ushKSpaceCentreLineNo = uint16_t(g.n1 / 2);
    h.ushKSpaceCentrePartitionNo = uint16_t(g.n3 > 1 ? g.n3 / 2 : 0);
    h.aushDuvProgramPara[4] = a.discard_pre;

    const VectorPat position = positionOf(a.position, where);
    const Directions d = directionsOf(a.read_dir, a.phase_dir, a.slice_dir, where);
    const duvfiles::Frame f = frameWithReadout(position, d.slice, d.phase);
    h.sSliceData.flSag = a.position[0];
    h.sSliceData.flCor = a.position[1];
    h.sSliceData.flTra = a.position[2];
    const auto q = duvfiles::frameQuaternion(f);
    for (int k = 0; k < 4; ++k) h.sSliceData.aflQuaternion[k] = q[size_t(k)];
    rec.soda = duvfiles::makeSoda(position, f, g.fov1 / g.n1, g.fovRead, g.thickness, patientPosition);

    // Both layouts put all samples of channel 0 first, each sample (re, im).
    const size_t floats = size_t(samples) * channels * 2;
    rec.samples.resize(floats);
    std::memcpy(rec.samples.data(), acq.data, floats * sizeof(float));
    return rec;
}

IsmrmrdImportResult convertAcquisitions(IsmrmrdFile& ds, const Header& hdr, const IsmrmrdImportOptions& o,
                                        const fs::path& dir) {
    IsmrmrdImportResult r;
    r.kind = "readouts";
    const Grid g = gridOf(hdr, ds.file());
    const AcquisitionScan s = scanAcquisitions(ds, g);
    XProtocol protocol = acquisitionProtocol(hdr, ds.file(), g, s, r.notes);
    mergeOverrides(protocol, o.protocolOverrides);
    const std::string patientPosition = protocol.At("YAPS.tPatientPosition").ToString();
    if (s.defaultGeometry)
        r.notes.push_back("acquisitions without direction cosines: read_dir left, phase_dir posterior, slice_dir head "
                          "assumed");
    if (s.reversed)
        r.notes.push_back(std::to_string(s.reversed) + " readouts are flagged reverse (MDH_REFLECT): their samples are "
                                                         "passed on unreversed");
    for (const auto& [why, n] : s.skipped) {
        r.skipped += n;
        r.notes.push_back("left out: " + std::to_string(n) + " readout" + (n == 1 ? "" : "s") + ": " + why);
    }

    OutputFiles out(dir);
    writeProtocolFile(out.path("protocol.txt"), protocol, ds.file() + " (dataset " + ds.group() + ")");
    {
        duvfiles::ReadoutWriter writer(out.path("readouts.bin"), s.slices);
        AcquisitionBuffer acq;
        for (uint32_t i = 0; i < s.total; ++i) {
            if (!s.keep[i]) continue;
            ds.readAcquisition(i, acq.a);
            writer.add(readoutRecord(acq.a, g, ds.file() + ": acquisition " + std::to_string(i), patientPosition));
        }
        writer.close();
        r.records = writer.count();
    }
    out.keep();
    return r;
}

// ---------------------------------------------------------------------------
// Images.
// ---------------------------------------------------------------------------

struct ImageScan {
    uint32_t total = 0;
    ISMRMRD_ImageHeader first{};
    DuvFormat_t format = SH;
    long counts[DUV_DIM_COUNT] = {};
    std::map<int, SliceGeometry> geometry;  // first image of each slice
    bool defaultGeometry = false;
};

ImageScan scanImages(IsmrmrdFile& ds, const std::string& var) {
    ImageScan s;
    s.total = ds.images(var);
    std::fill(std::begin(s.counts), std::end(s.counts), 1L);
    ImageBuffer image;
    for (uint32_t i = 0; i < s.total; ++i) {
        ds.readImage(var, i, image.im);
        const ISMRMRD_ImageHeader& h = image.im.head;
        const std::string where = ds.file() + ": image " + std::to_string(i);
        if (h.channels < 1 || h.channels > duvfiles::kMaxChannels)
            throw IsmrmrdError(where + ": field channels: " + std::to_string(h.channels) + "; an image holds 1 to " +
                               std::to_string(duvfiles::kMaxChannels));
        if (h.matrix_size[0] < 1 || h.matrix_size[1] < 1 || h.matrix_size[2] < 1)
            throw IsmrmrdError(where + ": field matrix_size: a size is 0");
        for (int k = 0; k < 3; ++k)
            if (!(h.field_of_view[k] > 0.0f) || !std::isfinite(h.field_of_view[k]))
                throw IsmrmrdError(where + ": field field_of_view: not positive");
        if (h.slice >= kMaxSlices)
            throw IsmrmrdError(where + ": field slice: " + std::to_string(h.slice) + ": a measurement holds " +
                               std::to_string(kMaxSlices) + " slices at most");
        if (i == 0) {
            s.first = h;
            s.format = h.data_type == ISMRMRD_SHORT ? SH : h.data_type == ISMRMRD_FLOAT ? FL : CXFL;
        } else {
            const ISMRMRD_ImageHeader& f = s.first;
            auto size = [](const ISMRMRD_ImageHeader& x) {
                return std::to_string(x.matrix_size[0]) + "x" + std::to_string(x.matrix_size[1]) + "x" +
                       std::to_string(x.matrix_size[2]) + " with " + std::to_string(x.channels) + " channels";
            };
            if (h.data_type != f.data_type)
                throw IsmrmrdError(where + ": field data_type: " + dataTypeName(h.data_type) + ", image 0 is " +
                                   dataTypeName(f.data_type));
            if (std::memcmp(h.matrix_size, f.matrix_size, sizeof h.matrix_size) != 0 || h.channels != f.channels)
                throw IsmrmrdError(where + ": field matrix_size: " + size(h) + ", image 0 is " + size(f));
        }
        const Directions d = directionsOf(h.read_dir, h.phase_dir, h.slice_dir, where);
        s.defaultGeometry = s.defaultGeometry || d.defaulted;
        s.geometry.emplace(int(h.slice), SliceGeometry{positionOf(h.position, where), d});
        s.counts[SLC] = std::max<long>(s.counts[SLC], h.slice + 1);
        s.counts[ECO] = std::max<long>(s.counts[ECO], h.contrast + 1);
        s.counts[PHS] = std::max<long>(s.counts[PHS], h.phase + 1);
        s.counts[REP] = std::max<long>(s.counts[REP], h.repetition + 1);
        s.counts[SET] = std::max<long>(s.counts[SET], h.set + 1);
        s.counts[AVE] = std::max<long>(s.counts[AVE], h.average + 1);
    }
    s.counts[COL] = s.first.matrix_size[0];
    s.counts[LIN] = s.first.matrix_size[1];
    s.counts[PAR] = s.first.matrix_size[2];
    s.counts[CHA] = s.first.channels;
    return s;
}

XProtocol imageProtocol(const Header& hdr, const std::string& file, const ImageScan& s,
                        std::vector<std::string>& notes) {
    duvfiles::ProtocolSpec ps;
    baseSpec(hdr, file, ps, notes);
    const ISMRMRD_ImageHeader& f = s.first;
    ps.channels = f.channels;
    ps.repetitions = int(s.counts[REP]);
    const SliceGeometry& first = s.geometry.begin()->second;
    for (long k = 0; k < s.counts[SLC]; ++k) {
        auto it = s.geometry.find(int(k));
        if (it == s.geometry.end()) notes.push_back("slice " + std::to_string(k) + " has no image: slice " +
                                                    std::to_string(s.geometry.begin()->first) + "'s geometry used");
        const SliceGeometry& sg = it == s.geometry.end() ? first : it->second;
        const duvfiles::Frame fr = frameWithReadout(sg.position, sg.dirs.slice, sg.dirs.read);
        ps.slices.push_back({fr, f.field_of_view[0], f.field_of_view[1], f.field_of_view[2]});
    }
    ps.baseResolution = f.matrix_size[0];
    ps.phaseEncodingLines = f.matrix_size[1];
    ps.partitions = f.matrix_size[2];
    ps.kspaceDimension = f.matrix_size[2] > 1 ? 4 : 2;
    ps.imagesPerSlab = f.matrix_size[2];
    ps.measuredPartitions = f.matrix_size[2];
    ps.averages = int(s.counts[AVE]);
    XProtocol p = duvfiles::buildProtocol(ps);
    p.SetLong("YAPS.iNSet", s.counts[SET]);
    p.SetLong("MEAS.sPhysioImaging.lPhases", s.counts[PHS]);
    p.SetLong("MEAS.lContrasts", s.counts[ECO]);
    applyEchoTimes(hdr, file, p);
    applyCoilLabels(hdr, p, f.channels);
    return p;
}

std::string descriptionOf(const ISMRMRD_Image& image, const Header& hdr, const std::string& file) {
    if (image.attribute_string && image.head.attribute_string_len > 0) {
        try {
            ISMRMRD::MetaContainer meta;
            ISMRMRD::deserialize(image.attribute_string, meta);
            if (meta.length("SeriesDescription") > 0) {
                std::string d;
                for (size_t k = 0; k < meta.length("SeriesDescription"); ++k)
                    d += (k ? "_" : "") + std::string(meta.as_str("SeriesDescription", k));
                if (!d.empty()) return d;
            }
        } catch (const std::exception&) {
            // Attributes that do not parse say nothing about the series.
        }
    }
    if (hdr.present && hdr.h.measurementInformation && hdr.h.measurementInformation->seriesDescription &&
        !hdr.h.measurementInformation->seriesDescription->empty())
        return *hdr.h.measurementInformation->seriesDescription;
    return protocolNameOf(hdr, file);
}

// One record per partition of an image (a 2D image has one).
void addImageRecords(duvfiles::ImageWriter& writer, const ISMRMRD_Image& image, const ImageScan& s,
                     const std::string& description, const std::string& patientPosition, const std::string& where) {
    const ISMRMRD_ImageHeader& h = image.head;
    const int nx = h.matrix_size[0], ny = h.matrix_size[1], nz = h.matrix_size[2], nc = h.channels;
    const Directions d = directionsOf(h.read_dir, h.phase_dir, h.slice_dir, where);
    const double dx = h.field_of_view[0] / nx, dy = h.field_of_view[1] / ny, dz = h.field_of_view[2] / nz;
    // ISMRMRD's position is the centre of the field of view; ours is the
    // centre of pixel (nx/2, ny/2) (integer halves) of each partition.
    const VectorPat centre = vec(h.position);
    const VectorPat inPlane = d.read * ((nx / 2 - (nx - 1) * 0.5) * dx) + d.phase * ((ny / 2 - (ny - 1) * 0.5) * dy);
    const size_t bytes = DuvFormatBytes(s.format);
    const size_t rowBytes = size_t(nx) * bytes;
    const unsigned char* data = static_cast<const unsigned char*>(image.data);
    duvfiles::Frame frame;
    frame.normal = d.slice;
    frame.readout = d.read;
    frame.phase = d.phase;
    for (int k = 0; k < nz; ++k) {
        duvfiles::ImageRecord rec;
        rec.format = s.format;
        rec.columns = nx;
        rec.lines = ny;
        rec.channels = nc;
        for (int dim = 0; dim < DUV_DIM_COUNT; ++dim) rec.control.setCount(DuvDim(dim), s.counts[dim]);
        rec.control.setIndex(SLC, h.slice);
        rec.control.setIndex(PAR, k);
        rec.control.setIndex(ECO, h.contrast);
        rec.control.setIndex(PHS, h.phase);
        rec.control.setIndex(REP, h.repetition);
        rec.control.setIndex(SET, h.set);
        rec.control.setIndex(AVE, h.average);
        rec.control.setColumns(nx);
        const VectorPat position = centre + inPlane + d.slice * ((k - (nz - 1) * 0.5) * dz);
        rec.soda = duvfiles::makeSoda(position, frame, dx, dy, nz > 1 ? dz : h.field_of_view[2], patientPosition);
        rec.fields.push_back({"SequenceDescription", MiniHeader::Text, description, false});
        rec.fields.push_back({"AnatomicalSliceNo", MiniHeader::Int, long(nz > 1 ? k : h.slice), false});
        // ISMRMRD stores x fastest, then y, z and channels; a record holds the
        // lines of its partition for every channel.
        rec.data.resize(rowBytes * size_t(ny) * size_t(nc));
        unsigned char* dst = rec.data.data();
        for (int c = 0; c < nc; ++c) {
            const unsigned char* src = data + ((size_t(c) * nz + size_t(k)) * size_t(ny)) * rowBytes;
            std::memcpy(dst, src, rowBytes * size_t(ny));
            dst += rowBytes * size_t(ny);
        }
        writer.add(rec);
    }
}

IsmrmrdImportResult convertImages(IsmrmrdFile& ds, const Header& hdr, const std::string& var,
                                  const IsmrmrdImportOptions& o, const fs::path& dir) {
    IsmrmrdImportResult r;
    r.kind = "images";
    const ImageScan s = scanImages(ds, var);
    XProtocol protocol = imageProtocol(hdr, ds.file(), s, r.notes);
    mergeOverrides(protocol, o.protocolOverrides);
    const std::string patientPosition = protocol.At("YAPS.tPatientPosition").ToString();
    if (s.defaultGeometry)
        r.notes.push_back("images without direction cosines: read_dir left, phase_dir posterior, slice_dir head "
                          "assumed");

    OutputFiles out(dir);
    writeProtocolFile(out.path("protocol.txt"), protocol,
                      ds.file() + " (dataset " + ds.group() + ", images " + var + ")");
    {
        duvfiles::ImageWriter writer(out.path("images.bin"));
        ImageBuffer image;
        for (uint32_t i = 0; i < s.total; ++i) {
            ds.readImage(var, i, image.im);
            const std::string description = descriptionOf(image.im, hdr, ds.file());
            addImageRecords(writer, image.im, s, description, patientPosition,
                            ds.file() + ": image " + std::to_string(i));
        }
        writer.close();
        r.records = writer.count();
    }
    out.keep();
    return r;
}

}  // namespace

IsmrmrdImportResult convertIsmrmrd(const IsmrmrdImportOptions& o, const std::string& dir) {
    // The measurement that was in DIR goes first, so that a refused file
    // leaves none behind.
    OutputFiles::clear(dir);
    // A bad override file is refused before the ISMRMRD file is read.
    if (!o.protocolOverrides.empty()) XProtocol::LoadFromFile(o.protocolOverrides);
    IsmrmrdFile ds(o.file, o.dataset);
    const Header hdr = readHeader(ds);
    if (!o.images.empty()) {
        if (ds.images(o.images) == 0)
            throw IsmrmrdError(o.file + ": dataset \"" + o.dataset + "\" has no image group \"" + o.images +
                               "\" (image groups: " + joined(ds.imageGroups()) + ")");
        return convertImages(ds, hdr, o.images, o, dir);
    }
    if (ds.acquisitions() > 0) return convertAcquisitions(ds, hdr, o, dir);
    const std::vector<std::string> groups = ds.imageGroups();
    if (groups.size() == 1) {
        IsmrmrdImportResult r = convertImages(ds, hdr, groups.front(), o, dir);
        r.notes.insert(r.notes.begin(), "no acquisitions: the images of group \"" + groups.front() + "\" converted");
        return r;
    }
    if (groups.empty())
        throw IsmrmrdError(o.file + ": dataset \"" + o.dataset + "\" holds neither acquisitions nor images");
    throw IsmrmrdError(o.file + ": dataset \"" + o.dataset + "\" has no acquisitions and several image groups (" +
                       joined(groups) + "): name one with --images");
}

}  // namespace duvoffline
