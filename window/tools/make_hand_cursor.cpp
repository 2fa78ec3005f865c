// Writes HAND-M.CUR: our pointing-hand picture as a 32 x 32, 32-bit Windows cursor file with its
// hot spot on the tip of the index finger.

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <vector>

namespace {

constexpr int kSize = 32;
constexpr int kHotX = 6;
constexpr int kHotY = 1;

// '#' outline, '.' fill, anything else transparent.
constexpr std::array<std::string_view, kSize> kHand = {
    "     ##",           "    #..#",          "    #..#",          "    #..#",
    "    #..#",          "    #..#",          "    #..###",        "    #..#..###",
    "    #..#..#..##",   "    #..#..#..#.#",  "##  #..#..#..#..#", "#..##........#..#",
    "#...#...........#", " #..#...........#", "  #.............#", "  #.............#",
    "   #............#", "   #...........#",  "    #..........#",  "    #..........#",
    "     #........#",   "     #........#",   "     ##########",
};

void put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

char cellAt(int x, int y) {
    const std::string_view row = kHand[static_cast<std::size_t>(y)];
    return static_cast<std::size_t>(x) < row.size() ? row[static_cast<std::size_t>(x)] : ' ';
}

std::vector<std::uint8_t> cursorFile() {
    constexpr std::uint32_t kMaskRowBytes = 4; // 32 pixels at one bit, already a 4-byte multiple
    constexpr std::uint32_t kImageBytes = 40 + kSize * kSize * 4 + kSize * kMaskRowBytes;
    std::vector<std::uint8_t> out;
    put16(out, 0); // reserved
    put16(out, 2); // type: cursor
    put16(out, 1); // one image
    out.push_back(kSize);
    out.push_back(kSize);
    out.push_back(0); // no palette
    out.push_back(0);
    put16(out, kHotX);
    put16(out, kHotY);
    put32(out, kImageBytes);
    put32(out, 22); // the image follows this entry
    put32(out, 40);
    put32(out, kSize);
    put32(out, kSize * 2); // colour bitmap and mask together
    put16(out, 1);
    put16(out, 32);
    put32(out, 0); // uncompressed
    put32(out, kImageBytes - 40);
    for (int i = 0; i < 4; ++i)
        put32(out, 0);
    for (int y = kSize - 1; y >= 0; --y) { // rows bottom-up
        for (int x = 0; x < kSize; ++x) {
            const char cell = cellAt(x, y);
            const std::uint8_t shade = cell == '.' ? 0xff : 0x00;
            const std::uint8_t alpha = (cell == '#' || cell == '.') ? 0xff : 0x00;
            out.insert(out.end(), {shade, shade, shade, alpha});
        }
    }
    for (int y = kSize - 1; y >= 0; --y) {
        std::uint32_t bits = 0;
        for (int x = 0; x < kSize; ++x) {
            const char cell = cellAt(x, y);
            if (cell != '#' && cell != '.')
                bits |= 0x80000000u >> x;
        }
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>((bits >> shift) & 0xff));
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_hand_cursor OUTPUT\n");
        return 2;
    }
    const std::vector<std::uint8_t> bytes = cursorFile();
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "make_hand_cursor: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
