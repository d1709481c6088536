; ============================================================================
; Ovix demo cartridge: 16 KiB at 4000h-7FFFh.
;
; Shows a bitmap page (CM3 = 80h) and a mixed page of text and graphic rows
; (CM3 = 0C0h), both in all eight colours, and switches between them at every
; key press. It carries the BIOS's cartridge signature, so the BIOS starts
; it as soon as the character set is loaded, and it uses the BIOS services
; (TRAP 5: wait for a key, TRAP 6: 8-bit video register, TRAP 8: VRAM
; address).
;
; Both pages are drawn from VRAM address 0 with one run of writes through
; the column/row pointer, which simply counts up:
;  - bitmap page: 250 scanline records of 122 bytes, each 40 plane groups
;    of 3 bytes (red plane, green plane, blue plane; bit 7 is the left
;    pixel) and 2 unused bytes; 30500 bytes, below the BIOS's character
;    set at 7800h;
;  - mixed page: rows of 10 scanlines, the first a text row. A text row is
;    40 cells (attribute, character) and 2 more bytes, the first of which
;    says what the next row is (bit 4 set: graphic). A graphic row is 10
;    records of 122 bytes: 40 plane groups in the order blue, green, red,
;    then the kind of the next row at byte 120 (read from the last record).
;
; Written in the common syntax of ovix-asm (docs/programming.md).
; Build: ovix-asm --base 4000 --size 16384 -o demo.rom demo.asm
; ============================================================================

VDPWR   EQU     P46                     ; 012Eh write: VRAM data

; BIOS register usage: R2-R7 are its interrupt handlers', R8-R15 scratch of
; its services (R9:R10 the address for TRAP 8).
ADRH    EQU     R9
ADRL    EQU     R10

; Our registers.
PAGEF   EQU     R32                     ; bit 0: the mixed page is shown (next: bitmap)
ORDER   EQU     R33                     ; plane order: 0 red first (bitmap), 1 blue first
PLR     EQU     R34                     ; plane bytes of the group being written
PLG     EQU     R35
PLB     EQU     R36
LTYPE   EQU     R37                     ; line type, below
LPARAM  EQU     R38                     ; its parameter
LNUM    EQU     R39                     ; scanline within a graphic row
GRPC    EQU     R40                     ; plane group 0..39
CNTA    EQU     R41
ROWI    EQU     R42                     ; 3 * row of the mixed page
NEXTK   EQU     R43                     ; kind byte of the next row: 10h graphic, 00h text
ROWP1   EQU     R44                     ; row table operands: text pointer (pair ROWP2),
ROWP2   EQU     R45                     ; or line type and parameter
LEFT    EQU     R46                     ; cells left in a text row
TATTR   EQU     R47

; Line types of gline: colour index of plane group c on the line.
L_BARS  EQU     0                       ; c / 5: eight vertical bars
L_FINE  EQU     1                       ; pixel p of every group in colour p
L_SOLID EQU     2                       ; LPARAM
L_DIAG  EQU     3                       ; (c + LPARAM) mod 8
L_SCAN  EQU     4                       ; (LNUM + LPARAM) mod 8: one colour per scanline

; Row kinds in the mixed page's row table.
TXT     EQU     00h
GFX     EQU     10h

; ============================================================================
        ORG 4000h

start:  CLR PAGEF
.show:  BTJO #1,PAGEF,.mixed
        CALL bitmap
        JMP .key
.mixed: CALL mixed
.key:   TRAP 5                          ; wait for a key press
        XOR #1,PAGEF
        JMP .show

; ---------------------------------------------------------------------------
; bitmap: draws the bitmap page, then shows it. 120 scanlines of vertical
; bars, 10 of fine stripes, then 8 bands of 15 scanlines, one per colour.
bitmap: MOVD #0,ADRL
        TRAP 8
        CLR ORDER
        MOV #L_BARS,LTYPE
        MOV #120,CNTA
.bars:  CALL bline
        DJNZ CNTA,.bars
        MOV #L_FINE,LTYPE
        MOV #10,CNTA
.fine:  CALL bline
        DJNZ CNTA,.fine
        MOV #L_SOLID,LTYPE
        CLR LPARAM
.band:  MOV #15,CNTA
.line:  CALL bline
        DJNZ CNTA,.line
        INC LPARAM
        CMP #8,LPARAM
        JL .band
        MOV #6,B                        ; CM3: bitmap page
        MOV #80h,A
        TRAP 6
        RETS

; bline: one scanline record of the bitmap page.
bline:  CALL gline
        MOVP #0,VDPWR
        MOVP #0,VDPWR
        RETS

; ---------------------------------------------------------------------------
; mixed: draws the mixed page from the row table, then shows it.
mixed:  MOVD #0,ADRL
        TRAP 8
        MOV #1,ORDER
        CLR ROWI
.row:   MOV ROWI,B
        LDA @rowtab+3(B)                ; the next row's kind
        MOV A,NEXTK
        LDA @rowtab+1(B)
        MOV A,ROWP1
        LDA @rowtab+2(B)
        MOV A,ROWP2
        LDA @rowtab(B)
        JNE .gfx
        CALL textrow
        JMP .next
.gfx:   CALL gfxrow
.next:  ADD #3,ROWI
        CMP #75,ROWI
        JL .row
        MOV #6,B                        ; CM3: mixed page
        MOV #0C0h,A
        TRAP 6
        RETS

; textrow: the cells of the segments at ROWP1:ROWP2 (attribute,
; text, 0, ... 0FFh), white-on-black spaces up to 40 cells, then the kind
; byte and the spare byte.
textrow:
        MOV #40,LEFT
.seg:   CALL tfetch
        CMP #0FFh,A
        JEQ .pad
        MOV A,TATTR
.ch:    CALL tfetch
        JEQ .seg
        MOV A,B
        MOV LEFT,A
        JEQ .ch                         ; the row is full: the rest is dropped
        MOV TATTR,A
        MOVP A,VDPWR
        MOVP B,VDPWR
        DEC LEFT
        JMP .ch
.pad:   MOV LEFT,A
        JEQ .kind
.sp:    MOVP #0E0h,VDPWR
        MOVP #20h,VDPWR
        DJNZ LEFT,.sp
.kind:  MOV NEXTK,A
        MOVP A,VDPWR
        MOVP #0,VDPWR
        RETS

; tfetch: A <- the byte at ROWP1:ROWP2, which moves on; Z from A.
tfetch: LDA *ROWP2
        ADD #1,ROWP2
        ADC #0,ROWP1
        TSTA
        RETS

; gfxrow: ten records of line type ROWP1, parameter ROWP2, each with
; the next row's kind at byte 120.
gfxrow: MOV ROWP1,LTYPE
        MOV ROWP2,LPARAM
        CLR LNUM
.rec:   CALL gline
        MOV NEXTK,A
        MOVP A,VDPWR
        MOVP #0,VDPWR
        INC LNUM
        CMP #10,LNUM
        JL .rec
        RETS

; ---------------------------------------------------------------------------
; gline: the 40 plane groups of one scanline of line type LTYPE.
gline:  CLR GRPC
.grp:   MOV LTYPE,A
        JEQ .bars
        CMP #L_FINE,A
        JEQ .fine
        CMP #L_SOLID,A
        JEQ .solid
        CMP #L_DIAG,A
        JEQ .diag
        MOV LNUM,A                      ; L_SCAN
        ADD LPARAM,A
        JMP .col
.bars:  MOV GRPC,A
        MPY #34h,A                      ; A = c * 52 / 256 = c / 5 for c < 40
        JMP .col
.diag:  MOV GRPC,A
        ADD LPARAM,A
        JMP .col
.solid: MOV LPARAM,A
        JMP .col
.fine:  MOV #55h,PLR                    ; pixels 1, 3, 5, 7 have red,
        MOV #33h,PLG                    ; 2, 3, 6, 7 green,
        MOV #0Fh,PLB                    ; 4, 5, 6, 7 blue
        JMP .put
.col:   AND #7,A
        CALL planes
.put:   CALL group
        INC GRPC
        CMP #40,GRPC
        JL .grp
        RETS

; planes: the plane bytes of a group of 8 pixels of colour A (bit 0 red,
; bit 1 green, bit 2 blue).
planes: CLR PLR
        CLR PLG
        CLR PLB
        BTJZ #1,A,.g
        MOV #0FFh,PLR
.g:     BTJZ #2,A,.b
        MOV #0FFh,PLG
.b:     BTJZ #4,A,.done
        MOV #0FFh,PLB
.done:  RETS

; group: writes the three plane bytes, red first or (ORDER = 1) blue
; first.
group:  BTJO #1,ORDER,.bgr
        MOV PLR,A
        MOVP A,VDPWR
        MOV PLG,A
        MOVP A,VDPWR
        MOV PLB,A
        MOVP A,VDPWR
        RETS
.bgr:   MOV PLB,A
        MOVP A,VDPWR
        MOV PLG,A
        MOVP A,VDPWR
        MOV PLR,A
        MOVP A,VDPWR
        RETS

; ---------------------------------------------------------------------------
; The mixed page, row by row: kind, then a text pointer or a line type and
; its parameter. A last entry gives the kind after row 24.
rowtab:
        DB TXT
        DW t_title
        DB GFX, L_BARS, 0
        DB TXT
        DW t_names
        DB GFX, L_FINE, 0
        DB TXT
        DW t_blocks
        DB GFX, L_SCAN, 0
        DB TXT
        DW t_text
        DB GFX, L_DIAG, 0
        DB TXT
        DW t_gfx
        DB GFX, L_DIAG, 4
        DB TXT
        DW t_names
        DB GFX, L_BARS, 0
        DB TXT
        DW t_blocks
        DB GFX, L_FINE, 0
        DB TXT
        DW t_kinds
        DB GFX, L_SOLID, 1
        DB TXT
        DW t_names
        DB GFX, L_SCAN, 3
        DB TXT
        DW t_blocks
        DB GFX, L_DIAG, 2
        DB TXT
        DW t_kinds
        DB GFX, L_BARS, 0
        DB TXT
        DW t_names
        DB GFX, L_FINE, 0
        DB TXT
        DW t_key
        DB TXT, 0, 0

; Text rows: attribute, text, 0, ..., 0FFh. Attribute: ink in bits 7-5,
; paper in bits 2-0 (0 black, 1 red, 2 green, 3 yellow, 4 blue, 5 magenta,
; 6 cyan, 7 white).
t_title:
        DB 0E4h
        TEXT "  OVIX DEMO CARTRIDGE  -  MIXED PAGE    ", 0
        DB 0FFh
t_names:
        DB 0E0h
        TEXT " ", 0
        DB 07h
        TEXT "BLK", 0
        DB 0E0h
        TEXT "  ", 0
        DB 20h
        TEXT "RED", 0
        DB 0E0h
        TEXT "  ", 0
        DB 40h
        TEXT "GRN", 0
        DB 0E0h
        TEXT "  ", 0
        DB 60h
        TEXT "YEL", 0
        DB 0E0h
        TEXT "  ", 0
        DB 80h
        TEXT "BLU", 0
        DB 0E0h
        TEXT "  ", 0
        DB 0A0h
        TEXT "MAG", 0
        DB 0E0h
        TEXT "  ", 0
        DB 0C0h
        TEXT "CYN", 0
        DB 0E0h
        TEXT "  ", 0
        DB 0E0h
        TEXT "WHT", 0
        DB 0FFh
t_blocks:
        DB 0E0h
        TEXT "  0  ", 0
        DB 0C1h
        TEXT "  1  ", 0
        DB 0A2h
        TEXT "  2  ", 0
        DB 83h
        TEXT "  3  ", 0
        DB 64h
        TEXT "  4  ", 0
        DB 45h
        TEXT "  5  ", 0
        DB 26h
        TEXT "  6  ", 0
        DB 07h
        TEXT "  7  ", 0
        DB 0FFh
t_text:
        DB 60h
        TEXT " TEXT ROWS: ", 0
        DB 0E0h
        TEXT "40 CELLS OF 8 X 10 PIXELS", 0
        DB 0FFh
t_gfx:
        DB 0C0h
        TEXT " GRAPHIC ROWS: ", 0
        DB 0E0h
        TEXT "320 PIXELS, 8 COLOURS", 0
        DB 0FFh
t_kinds:
        DB 0A0h
        TEXT " EVERY ROW SAYS WHAT THE NEXT ONE IS", 0
        DB 0FFh
t_key:
        DB 0E2h
        TEXT "   PRESS A KEY FOR THE BITMAP PAGE      ", 0
        DB 0FFh

; ---- The BIOS's cartridge signature and our entry ---------------------------
        ORG 7FF0h
        TEXT "OVIXCART"
        DW start
