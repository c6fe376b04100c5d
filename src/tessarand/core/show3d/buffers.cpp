#include "buffers.hpp"

#include "core/base64.hpp"
#include "viewer.hpp"

#include <cstring>
#include <random>

namespace show3d {
namespace {

std::string random_key() {
    std::random_device source;
    std::string key;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", unsigned(source()));
        key += part;
    }
    return key;
}

nb::object placeholder_text(const std::string &key, size_t index) {
    std::string text = std::string(1, '\0') + key + std::to_string(index);
    return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

size_t base64_bytes(const FloatArray &values) {
    return base64_size(values->size() * sizeof(float));
}

const unsigned char *bytes_of(const FloatArray &values) {
    return reinterpret_cast<const unsigned char *>(values->data());
}

bool is_ascii(const char *text, size_t size) {
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(text[i]);
    return any < 0x80;
}

} // namespace

DeferredBuffers::DeferredBuffers() : mark_("\\u0000" + random_key()) {}

nb::object DeferredBuffers::describe(FloatArray values) {
    nb::object description = buffer_description(
        nb::make_tuple(nb::int_(values->size())), nb::str("float32"),
        placeholder_text(mark_.substr(6), arrays_.size()));
    arrays_.push_back(std::move(values));
    descriptions_.push_back(description);
    return description;
}

// Every placeholder once, in order: the mark, then the array's number up to
// the closing quote.
bool DeferredBuffers::find_placeholders(const char *json, size_t size,
                                        std::vector<Found> &found) const {
    std::vector<bool> seen(arrays_.size());
    const char *at = json, *end = json + size;
    while (const char *hit = static_cast<const char *>(
               memmem(at, size_t(end - at), mark_.data(), mark_.size()))) {
        const char *digit = hit + mark_.size();
        size_t array = 0, digits = 0;
        while (digit < end && *digit >= '0' && *digit <= '9' && digits < 19) {
            array = 10 * array + size_t(*digit++ - '0');
            ++digits;
        }
        if (digits == 0 || digit == end || *digit != '"' || hit == json || hit[-1] != '"' ||
            array >= arrays_.size() || seen[array])
            return false;
        seen[array] = true;
        found.push_back({size_t(hit - json), size_t(digit - json), array});
        at = digit;
    }
    return found.size() == arrays_.size();
}

nb::object DeferredBuffers::splice(nb::handle json) const {
    if (!PyBytes_Check(json.ptr())) return {};
    const char *text = PyBytes_AS_STRING(json.ptr());
    size_t size = size_t(PyBytes_GET_SIZE(json.ptr()));
    std::vector<Found> found;
    found.reserve(arrays_.size());
    if (!find_placeholders(text, size, found)) return {};
    size_t total = size;
    for (const Found &item : found) total += base64_bytes(arrays_[item.array]) - (item.end - item.begin);

    bool ascii = is_ascii(text, size);
    nb::object out = ascii ? check(PyUnicode_New(Py_ssize_t(total), 127))
                           : check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    char *write = ascii ? static_cast<char *>(PyUnicode_DATA(out.ptr())) : PyBytes_AS_STRING(out.ptr());
    size_t copied = 0;
    for (const Found &item : found) {
        std::memcpy(write, text + copied, item.begin - copied);
        write += item.begin - copied;
        const FloatArray &values = arrays_[item.array];
        base64_encode(bytes_of(values), values->size() * sizeof(float), write);
        write += base64_bytes(values);
        copied = item.end;
    }
    std::memcpy(write, text + copied, size - copied);
    if (ascii) return out;
    return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.ptr()), Py_ssize_t(total), nullptr));
}

void DeferredBuffers::materialize() {
    for (size_t i = 0; i < arrays_.size(); ++i)
        check_status(PyDict_SetItem(
            descriptions_[i].ptr(), S3D_NAME("buffer"),
            base64_text(bytes_of(arrays_[i]), arrays_[i]->size() * sizeof(float)).ptr()));
}

bool orjson_is_real(const Globals &globals) {
    nb::object real = check(PyImport_ImportModule("orjson"));
    nb::object dumps = optional_attr(real, S3D_NAME("dumps"));
    return PyCFunction_Check(dumps.ptr()) &&
           optional_attr(globals[S3D_NAME("orjson")], S3D_NAME("dumps")).is(dumps);
}

} // namespace show3d
