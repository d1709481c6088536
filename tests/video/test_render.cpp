// Video chip renderer: text, bitmap and mixed pages drawn into the
// picture of colour indices, checked pixel by pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "video/tms3556.h"

namespace {

enum { CM3 = 6, BAPA = 10, BAGC0 = 11, BAGC1 = 12, BAGC2 = 13, BAGC3 = 14 };
enum { BLACK, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE };
using Line = std::vector<int>;

// The picture the renderer draws into (the same buffer at every call).
const uint8 *s_picture;

void init_video()
{
    ASSERT_EQ(tms3556_init(0x8000), 0);
    s_picture = tms3556_redraw();
    ASSERT_NE(s_picture, nullptr);
}

// Colour index of a picture pixel, -1 when it is no palette index.
int pixel(int x, int y)
{
    const int c = s_picture[y * PICTURE_W + x];
    return c < 8 ? c : -1;
}

// The eight pixels of one cell (plane group) on one scanline.
Line cell(int column, int scanline)
{
    Line v;
    for (int p = 0; p < 8; p++) v.push_back(pixel(column * 8 + p, scanline));
    return v;
}

Line frame()
{
    EXPECT_EQ(tms3556_redraw(), s_picture);
    Line v;
    for (int y = 0; y < 250; y++)
        for (int x = 0; x < 320; x++) v.push_back(pixel(x, y));
    return v;
}

Line pattern(uint8 bits, int fg, int bg)
{
    Line v;
    for (int p = 0; p < 8; p++) v.push_back((bits & (0x80 >> p)) ? fg : bg);
    return v;
}

void set16(int reg, uint16 value) { vdp_regs16[reg - 8] = value; }
void put(int address, std::initializer_list<int> bytes)
{
    for (int b : bytes) set_vram(static_cast<uint16>(address++), static_cast<uint8>(b));
}
// Pattern byte of line r (0 = top) of character n in the set at base.
void put_pattern(int base, int n, int r, uint8 bits) { put(base + (9 - r) * 128 + (n & 0x7F), {bits}); }

class Render : public ::testing::Test {
protected:
    static void SetUpTestSuite() { init_video(); }
    void SetUp() override { tms3556_power_on(); }
};

TEST_F(Render, PaletteFromColourIndexBits)
{
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(ovix_col[i], (i & 1 ? 0xFF0000u : 0) | (i & 2 ? 0x00FF00u : 0) | (i & 4 ? 0x0000FFu : 0)) << i;
}

TEST_F(Render, TextCellsColoursSlicesAndHighBit)
{
    set16(BAGC0, 0x1000);
    put(0, {0x27, 0x41, 0x27, 0xC1});  // red on white; N and N + 0x80
    const uint8 lines[10] = {0xF0, 0x01, 0x80, 0x3C, 0x00, 0xFF, 0x55, 0xAA, 0x0F, 0x81};
    for (int r = 0; r < 10; r++) put_pattern(0x1000, 0x41, r, lines[r]);
    tms3556_redraw();
    EXPECT_EQ(cell(0, 0), (Line{RED, RED, RED, RED, WHITE, WHITE, WHITE, WHITE}));
    for (int r = 0; r < 10; r++) {
        EXPECT_EQ(cell(0, r), pattern(lines[r], RED, WHITE)) << "line " << r;
        EXPECT_EQ(cell(1, r), cell(0, r)) << "line " << r;
    }
    EXPECT_EQ(cell(2, 0), Line(8, BLACK));
}

TEST_F(Render, TextCellPlacementAndPatternSets)
{
    // Set k (BAGC0 + k) holds 0x11 << k for line 3 of character 5.
    for (int k = 0; k < 4; k++) {
        set16(BAGC0 + k, static_cast<uint16>(0x2000 + k * 0x800));
        put_pattern(0x2000 + k * 0x800, 0x05, 3, static_cast<uint8>(0x11 << k));
    }
    struct Case { uint8 attr; int set; } cases[] = {
        {0x24, BAGC0}, {0x49, BAGC2}, {0x72, BAGC1}, {0xFB, BAGC3}};  // bits 4-3 = 0, 1, 2, 3
    set16(BAPA, 0x0100);
    for (int i = 0; i < 4; i++) put(0x0100 + (7 * 40 + 10 + i) * 2, {cases[i].attr, 0x05});
    tms3556_redraw();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(cell(10 + i, 73), pattern(static_cast<uint8>(0x11 << (cases[i].set - BAGC0)),
                                            cases[i].attr >> 5, cases[i].attr & 7))
            << vdp_name[cases[i].set];
}

TEST_F(Render, OnlyTopBitsOfCm3SelectTheMode)
{
    set16(BAGC0, 0x4000);
    for (int a = 0; a < 0x5000; a++) put(a, {(a * 7 + (a >> 8)) & 0xFF});
    struct { uint8 cm3; int same_as; } cases[] = {
        {0x00, -1}, {0x3F, 0}, {0x40, 0}, {0x80, -1}, {0xBF, 3}, {0xC0, -1}, {0xFF, 5}};
    std::vector<Line> pictures;
    for (auto &c : cases) {
        vdp_regs8[CM3] = c.cm3;
        pictures.push_back(frame());
        if (c.same_as >= 0) {
            EXPECT_EQ(pictures.back(), pictures[c.same_as]) << int(c.cm3);
        }
    }
    EXPECT_NE(pictures[0], pictures[3]);
    EXPECT_NE(pictures[0], pictures[5]);
    EXPECT_NE(pictures[3], pictures[5]);
}

TEST_F(Render, BitmapPagePlaneOrder)
{
    vdp_regs8[CM3] = 0x80;
    set16(BAPA, 0x0200);
    struct Case { int scanline, column; uint8 b0, b1, b2; Line expect; } cases[] = {
        {0, 0, 0x80, 0x00, 0x00, {RED, 0, 0, 0, 0, 0, 0, 0}},
        {0, 1, 0x00, 0x80, 0x00, {GREEN, 0, 0, 0, 0, 0, 0, 0}},
        {0, 2, 0x00, 0x00, 0x01, {0, 0, 0, 0, 0, 0, 0, BLUE}},
        {1, 39, 0xF0, 0xCC, 0xAA, {7, 3, 5, 1, 6, 2, 4, 0}},
        {249, 20, 0xFF, 0x00, 0xFF, Line(8, MAGENTA)},
    };
    for (const Case &c : cases) put(0x0200 + c.scanline * 122 + 3 * c.column, {c.b0, c.b1, c.b2});
    put(0x0200 + 120, {0xFF, 0xFF});  // the two bytes after the groups are not drawn
    tms3556_redraw();
    for (const Case &c : cases) EXPECT_EQ(cell(c.column, c.scanline), c.expect) << c.scanline << "/" << c.column;
    EXPECT_EQ(cell(0, 1), Line(8, BLACK));
}

TEST_F(Render, MixedPageRowWalk)
{
    vdp_regs8[CM3] = 0xC0;
    const int page = 0x0300;
    set16(BAPA, page);
    set16(BAGC0, 0x6000);
    for (int r = 0; r < 10; r++) put_pattern(0x6000, 0x01, r, static_cast<uint8>(1 << (r % 8)));
    // Row 0, text: yellow on blue; its row-end byte makes row 1 graphic.
    put(page, {0x64, 0x01});
    put(page + 80, {0x10});
    // Row 1, graphic at page + 82: first byte = blue plane, third = red.
    const int g1 = page + 82;
    for (int s = 0; s < 10; s++) put(g1 + s * 122, {0x80 >> (s % 8), 0, 0, 0, 0, 0x01});
    // Only byte 120 of the row's last record counts (the others stay 0):
    // row 2 is graphic too, then row 3 text.
    put(g1 + 9 * 122 + 120, {0x10});
    const int g2 = g1 + 10 * 122;
    put(g2, {0x00, 0x80});
    put(g2 + 9 * 122 + 120, {0xEF});
    const int t3 = g2 + 10 * 122;
    put(t3 + 4, {0xE1, 0x01});  // column 2: white on red
    // Row 4 follows the 82-byte text row: text again, column 0 green on black.
    put(t3 + 82, {0x40, 0x01});

    tms3556_redraw();
    for (int r = 0; r < 10; r++) {
        SCOPED_TRACE(r);
        EXPECT_EQ(cell(0, r), pattern(static_cast<uint8>(1 << (r % 8)), YELLOW, BLUE));
        Line blue(8, BLACK), red(8, BLACK);
        blue[r % 8] = BLUE;
        red[7] = RED;
        EXPECT_EQ(cell(0, 10 + r), blue);
        EXPECT_EQ(cell(1, 10 + r), red);
        EXPECT_EQ(cell(2, 30 + r), pattern(static_cast<uint8>(1 << (r % 8)), WHITE, RED));
        EXPECT_EQ(cell(0, 40 + r), pattern(static_cast<uint8>(1 << (r % 8)), GREEN, BLACK));
    }
    EXPECT_EQ(cell(0, 20), (Line{GREEN, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cell(0, 21), Line(8, BLACK));
}

TEST_F(Render, ReadsPastVramEndAreWhite)
{
    // first_white: the first scanline that lies wholly past 0x7FFF.
    struct Case { int mode; uint16 page; int first_white; } cases[] = {
        {0x00, 0x8000, 0}, {0x80, 0x7000, (0x1000 + 121) / 122}, {0xC0, 0x8000, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        tms3556_power_on();
        vdp_regs8[CM3] = static_cast<uint8>(c.mode);
        set16(BAPA, c.page);
        tms3556_redraw();
        if (c.first_white > 0) {
            EXPECT_EQ(cell(0, c.first_white - 2), Line(8, BLACK));
        }
        for (int y : {c.first_white, 249})
            for (int x : {0, 160, 319}) EXPECT_EQ(pixel(x, y), WHITE) << x << "," << y;
    }
    // A pattern byte past the end draws the whole line in the foreground.
    tms3556_power_on();
    set16(BAGC0, 0x7FC0);
    put(0, {0x43, 0x7F, 0x43, 0x00});    // green on yellow
    put_pattern(0x7FC0, 0x00, 9, 0x0F);  // at 0x7FC0, still in VRAM
    tms3556_redraw();
    EXPECT_EQ(cell(0, 0), Line(8, GREEN));
    EXPECT_EQ(cell(1, 9), pattern(0x0F, GREEN, YELLOW));
}

TEST_F(Render, FrameIsDrawnAgainAfterAnyChange)
{
    // A frame is drawn only when what it shows changed; whatever the change
    // and however it was made, the frame is the one a full drawing gives
    // (drawn here after another picture in between).
    set16(BAGC0, 0x1000);
    for (int n = 0; n < 128; n++)
        for (int r = 0; r < 10; r++) put_pattern(0x1000, n, r, static_cast<uint8>(n * 7 + r));
    for (int a = 0; a < 2000; a += 2) put(a, {0x47, a / 2 & 0x7F});
    struct Case { const char *name; void (*change)(); } cases[] = {
        {"video memory written", [] { put(10, {0x21, 0x33}); }},
        {"video memory set directly", [] { vram[13] = 0x55; }},
        {"pattern byte", [] { vram[0x1000 + 5] ^= 0xFF; }},
        {"8-bit register", [] { vdp_regs8[CM3] = 0x80; }},
        {"back to text", [] { vdp_regs8[CM3] = 0x00; }},
        {"16-bit register", [] { set16(BAPA, 0x0050); }},
        {"nothing", [] {}},
    };
    Line before = frame();
    for (const auto &c : cases) {
        c.change();
        // The serial moves exactly when the frame is drawn anew.
        const uint32 serial = tms3556_frame_serial();
        const Line drawn = frame();
        EXPECT_EQ(tms3556_frame_serial() == serial, std::string(c.name) == "nothing") << c.name;
        vdp_regs8[CM3] ^= 0x40;   // another picture, then the same state again
        frame();
        vdp_regs8[CM3] ^= 0x40;
        EXPECT_EQ(drawn, frame()) << c.name;
        EXPECT_EQ(drawn == before, std::string(c.name) == "nothing") << c.name;
        before = drawn;
    }
}

// Whatever video memory holds, every pixel of every mode is a palette
// index.
TEST(RenderAny, EveryPixelIsAPaletteIndex)
{
    init_video();
    tms3556_power_on();
    uint32 x = 12345;
    for (int a = 0; a < 0x8000; a++) {
        x = x * 1103515245u + 12345u;
        put(a, {static_cast<int>(x >> 16) & 0xFF});
    }
    for (int k = 0; k < 4; k++) set16(BAGC0 + k, static_cast<uint16>(0x1000 * (k + 1)));
    set16(BAPA, 0x0123);
    for (int mode : {0x00, 0x80, 0xC0}) {
        vdp_regs8[CM3] = static_cast<uint8>(mode);
        const Line picture = frame();
        EXPECT_EQ(std::count(picture.begin(), picture.end(), -1), 0) << mode;
    }
}

}  // namespace
