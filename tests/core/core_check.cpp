// Checks of the Python-free core, built and run by tests/test_core.py. Reads
// cases on stdin and writes results on stdout, one line each, so that the
// Python side can compare them with KLayout and the standard library:
//   compose A M X Y A M X Y   -> the product's parts
//   matrix A M X Y            -> the six matrix entries (hex floats)
//   base64 HEX                -> the encoded text
//   hull-text TEXT            -> the hull points, or "none"
//   hull-bytes HEX            -> the hull points, or "none"
//   box-bytes HEX             -> the hull points of a box, or "none"
//   trans TEXT                -> the parts of a simple transformation, or "none"
//   trans-bytes HEX           -> the same from the binary form
//   simplify TOL X Y X Y ...  -> "kept", "unsure", or "simplified" and the points (hex floats)
//   simplify-in-grid, simplify-along-runs: the same, with the topology checks'
//                                one search or the other for every ring
//   simplify-scalar: the same, with the furthest point search one point at a time
//   array TEXT                -> the members of a placement, as transformation parts, or "none"
//   limit TEXT                -> the limit an environment variable's TEXT sets, or "none"
//   flattened M M ...         -> the placements of a chain of instances of M members each
//                                (the top's first) when flattened, with thousands separators
//   stream HEX NAME           -> the elements of cell NAME, layer by layer (ascending):
//                                "L:t" text, "L:p" path, "L:o" other, "L:" and the hull
//                                points of a boundary or "none"; "none" for no such cell
//                                or a form the reader refuses; "L:split" for a layer
//                                written in more than one run
//   placed HEX NAME           -> the placements written in cell NAME, in order: the placed
//                                cell, "m" when mirrored, quarter turns, "c" for a complex
//                                one, columns x rows and the points; "none" as for stream
//   placed-count HEX          -> the placements below the top cells of a stream form, or "none"
//   batches COUNT PER         -> how many of 0 .. COUNT-1 the threads visited exactly once
//                                and in order within their batch (item i weighs i % 5),
//                                in batches of PER
#include "core/base64.hpp"
#include "core/budget.hpp"
#include "core/hull.hpp"
#include "core/parallel.hpp"
#include "core/placement.hpp"
#include "core/ring_simplify.hpp"
#include "core/stream.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

using namespace show3d;

std::vector<unsigned char> from_hex(const std::string &hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

void print_points(bool ok, const std::vector<double> &xy) {
    if (!ok) {
        std::cout << "none\n";
        return;
    }
    for (size_t i = 0; i < xy.size(); ++i) std::cout << (i ? " " : "") << (long long)xy[i];
    std::cout << "\n";
}

SimpleTrans read_trans(std::istream &in) {
    SimpleTrans t{};
    int mirror = 0;
    in >> t.angle >> mirror >> t.x >> t.y;
    t.mirror = mirror != 0;
    return t;
}

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "compose") {
            SimpleTrans p = read_trans(in), t = read_trans(in);
            SimpleTrans r = compose(p, t);
            std::cout << r.angle << " " << r.mirror << " " << r.x << " " << r.y << "\n";
        } else if (verb == "matrix") {
            PlacementMatrix m = simple_matrix(read_trans(in));
            for (int k = 0; k < 6; ++k) std::printf(k ? " %a" : "%a", m.entries[k]);
            std::printf("\n");
            std::fflush(stdout);
        } else if (verb == "base64") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> bytes = from_hex(hex);
            std::string out(base64_size(bytes.size()), '?');
            base64_encode(bytes.data(), bytes.size(), out.data());
            std::cout << out << "\n";
        } else if (verb == "hull-text") {
            std::string text;
            std::getline(in >> std::ws, text);
            std::vector<double> xy;
            print_points(parse_hull_text(text.data(), text.data() + text.size(), xy), xy);
        } else if (verb == "trans") {
            std::string text;
            std::getline(in >> std::ws, text);
            SimpleTrans t{};
            if (parse_simple_trans(text.data(), text.data() + text.size(), t))
                std::cout << t.angle << " " << t.mirror << " " << t.x << " " << t.y << "\n";
            else
                std::cout << "none\n";
        } else if (verb == "array") {
            std::string text;
            std::getline(in >> std::ws, text);
            SimpleArray array;
            std::ostringstream members;
            bool ok = parse_simple_array(text.data(), text.data() + text.size(), array);
            if (ok)
                expand_simple_array(array, [&](const SimpleTrans &t) {
                    members << (members.tellp() > 0 ? "; " : "") << t.angle << " " << t.mirror << " " << t.x
                            << " " << t.y;
                });
            std::cout << (ok ? members.str() : "none") << "\n";
        } else if (verb == "limit") {
            std::string text;
            std::getline(in >> std::ws, text);
            uint64_t limit = 0;
            std::cout << (parse_limit(text.c_str(), limit) ? grouped(limit) : "none") << "\n";
        } else if (verb == "flattened") {
            // from the deepest instance up, each the only one of its cell
            std::vector<uint64_t> members;
            for (uint64_t m; in >> m;) members.push_back(m);
            uint64_t below = 0;
            for (auto m = members.rbegin(); m != members.rend(); ++m) below = add_instance(0, *m, below);
            std::cout << grouped(below) << "\n";
        } else if (verb == "simplify" || verb == "simplify-in-grid" || verb == "simplify-along-runs" ||
                   verb == "simplify-scalar") {
            std::string word; // read with stod, which takes nan and inf
            in >> word;
            double tolerance = std::stod(word);
            std::vector<double> xy, simplified;
            while (in >> word) xy.push_back(std::stod(word));
            static RingSimplifier usual, in_grid(0), along_runs(SIZE_MAX), scalar(32, false);
            RingSimplifier &simplifier = verb == "simplify"           ? usual
                                         : verb == "simplify-in-grid" ? in_grid
                                         : verb == "simplify-scalar"  ? scalar
                                                                      : along_runs;
            RingResult result = simplifier.simplify(xy.data(), xy.size() / 2, tolerance, simplified);
            if (result == RingResult::kept) std::cout << "kept";
            if (result == RingResult::unsure) std::cout << "unsure";
            if (result == RingResult::simplified) {
                std::cout << "simplified";
                for (double v : simplified) std::printf(" %a", v);
                std::fflush(stdout);
            }
            std::cout << "\n";
        } else if (verb == "batches") {
            size_t count = 0, per = 1;
            in >> count >> per;
            std::vector<std::atomic<int>> visits(count);
            std::vector<size_t> before(count, SIZE_MAX); // the item visited just before on its thread
            run_batches(
                count, per, [](size_t i) { return i % 5; },
                [&](size_t i) noexcept {
                    thread_local size_t last = SIZE_MAX;
                    ++visits[i];
                    before[i] = last;
                    last = i;
                });
            size_t once = 0;
            for (size_t i = 0; i < count; ++i)
                once += visits[i] == 1 && (before[i] == SIZE_MAX || before[i] < i);
            std::cout << once << "\n";
        } else if (verb == "hull-bytes" || verb == "box-bytes") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> bytes = from_hex(hex);
            std::vector<double> xy;
            bool ok = verb == "hull-bytes" ? parse_hull_bytes(bytes.data(), bytes.size(), xy)
                                           : parse_box_hull_bytes(bytes.data(), bytes.size(), xy);
            print_points(ok, xy);
        } else if (verb == "stream") {
            std::string hex, name;
            in >> hex >> name;
            std::vector<unsigned char> bytes = from_hex(hex);
            StreamIndex index;
            const StreamCell *cell = index.parse(bytes.data(), bytes.size()) ? index.find(name) : nullptr;
            if (!cell) {
                std::cout << "none\n";
                continue;
            }
            std::vector<uint16_t> layers;
            for (const auto &[layer, elements] : *cell) layers.push_back(layer);
            std::sort(layers.begin(), layers.end());
            std::vector<uint64_t> scratch;
            const char *separator = "";
            for (uint16_t layer : layers) {
                std::span<const StreamElement> elements;
                if (!index.elements_of(*cell, layer, elements)) {
                    std::cout << separator << layer << ":split";
                    separator = " | ";
                }
                for (const StreamElement &element : elements) {
                    std::cout << separator << layer << ":";
                    separator = " | ";
                    if (element.kind != StreamKind::boundary) {
                        std::cout << (element.kind == StreamKind::text ? "t" : element.kind == StreamKind::path ? "p" : "o");
                        continue;
                    }
                    std::vector<double> xy;
                    bool ok = stream_hull(index.points_of(element), element.count, xy, scratch);
                    std::cout << (ok ? "" : "none");
                    for (size_t i = 0; ok && i < xy.size(); ++i) std::cout << (i ? " " : "") << (long long)xy[i];
                }
            }
            std::cout << "\n";
        } else if (verb == "placed") {
            std::string hex, name;
            in >> hex >> name;
            std::vector<unsigned char> bytes = from_hex(hex);
            StreamIndex index;
            std::span<const StreamInstance> placed;
            if (!index.parse(bytes.data(), bytes.size()) || !index.instances_of(name, placed)) {
                std::cout << "none\n";
                continue;
            }
            const char *separator = "";
            for (const StreamInstance &p : placed) {
                std::cout << separator << index.placed_name(p.child) << (p.mirror ? " m" : " r") << p.quarter_turns
                          << (p.simple ? "" : " c") << " " << p.columns << "x" << p.rows;
                for (int i = 0; i < 2 * p.points; ++i) std::cout << " " << p.xy[i];
                separator = " | ";
            }
            std::cout << "\n";
        } else if (verb == "placed-count") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> bytes = from_hex(hex);
            StreamIndex index;
            std::optional<uint64_t> count;
            if (index.parse(bytes.data(), bytes.size())) count = flattened_placements(index);
            if (count) std::cout << *count << "\n";
            else std::cout << "none\n";
        } else if (verb == "trans-bytes") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> bytes = from_hex(hex);
            SimpleTrans t;
            if (parse_trans_bytes(bytes.data(), bytes.size(), t))
                std::cout << t.angle << " " << t.mirror << " " << t.x << " " << t.y << "\n";
            else
                std::cout << "none\n";
        }
        std::cout.flush();
    }
}
