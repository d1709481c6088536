; ============================================================================
; Unit tests of the worked example's routines, run by ovix-test
; (docs/testing-cartridges.md). The example itself is included unchanged;
; the tests go into its free space at 7000h.
;
; Build and run:
;   ovix-asm --base 6000 --size 8192 -o example_test.rom \
;            --debug-info example_test.dbg example_test.asm
;   ovix-test example_test.rom
; ============================================================================
        INCLUDE "example.asm"
        INCLUDE "../include/ovixtest.inc"

        ORG     7000h

; locate: the VRAM pointer of row 2, column 3 is (2 * 40 + 3) * 2 = 00A6h.
test_locate:
        MOV     #2,ROW
        MOV     #3,COL
        CALL    locate
        ASSERT_EQ #00h,ADRH
        ASSERT_EQ #0A6h,ADRL
        RETS

; The last cell of the page: (24 * 40 + 39) * 2 = 07CEh.
test_locate_last:
        MOV     #24,ROW
        MOV     #39,COL
        CALL    locate
        ASSERT_EQ #07h,ADRH
        ASSERT_EQ #0CEh,ADRL
        RETS

; fetch: the first byte of the title, the pointer moved on, Z clear.
test_fetch:
        MOVD    #title,PTRL
        CALL    fetch
        ASSERT_NZ
        ASSERT_EQ #'O',A
        ASSERT_EQ #LOW(title+1),PTRL
        ASSERT_EQ #HIGH(title+1),PTRH
        RETS

; fetch: the 0 that ends a text sets Z.
test_fetch_end:
        MOVD    #prompt-1,PTRL
        CALL    fetch
        ASSERT_Z
        ASSERT_EQ #0,A
        RETS

; putc: the column moves on by one, and A and ROW are kept.
test_putc:
        MOV     #WHITE,ATTR
        MOV     #1,ROW
        MOV     #5,COL
        MOV     #'X',A
        CALL    putc
        ASSERT_EQ #6,COL
        ASSERT_EQ #1,ROW
        RETS

; hexdig: 0Bh is the letter B, written through putc at COL.
test_hexdig:
        MOV     #10,COL
        MOV     #0ABh,A
        CALL    hexdig
        ASSERT_EQ #'B',A
        ASSERT_EQ #11,COL
        RETS

; clear: 1000 cells in well under a frame (100000 cycles).
test_clear_time:
        CALL    clear
        ASSERT_CYCLES 50000
        RETS

; The shapes of our two characters, as the tests know them.
test_shapes:
        ASSERT_BYTES shapes,solid,4
        RETS
solid:  DB      0FFh, 0FFh, 0FFh, 0FFh
