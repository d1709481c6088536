DASM
; ============================================================================
; Ovix demo cartridge: 16 KiB at $4000-$7FFF.
;
; Shows a bitmap page (CM3 = $80) and a mixed page of text and graphic rows
; (CM3 = $C0), both in all eight colours, and switches between them at every
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
;    set at $7800;
;  - mixed page: rows of 10 scanlines, the first a text row. A text row is
;    40 cells (attribute, character) and 2 more bytes, the first of which
;    says what the next row is (bit 4 set: graphic). A graphic row is 10
;    records of 122 bytes: 40 plane groups in the order blue, green, red,
;    then the kind of the next row at byte 120 (read from the last record).
;
; Build: ovix-asm --base 4000 --size 16384 -o demo.rom demo.asm
; ============================================================================

VDPWR   = 46                            ; $012E write: VRAM data

; BIOS register usage: R2-R7 are its interrupt handlers', R8-R15 scratch of
; its services (R9:R10 the address for TRAP 8).
ADRH    = 9
ADRL    = 10

; Our registers.
PAGEF   = 32                            ; bit 0: the mixed page is shown (next: bitmap)
ORDER   = 33                            ; plane order: 0 red first (bitmap), 1 blue first
PLR     = 34                            ; plane bytes of the group being written
PLG     = 35
PLB     = 36
LTYPE   = 37                            ; line type, below
LPARAM  = 38                            ; its parameter
LNUM    = 39                            ; scanline within a graphic row
GRPC    = 40                            ; plane group 0..39
CNTA    = 41
ROWI    = 42                            ; 3 * row of the mixed page
NEXTK   = 43                            ; kind byte of the next row: $10 graphic, $00 text
ROWP1   = 44                            ; row table operands: text pointer (pair R(ROWP2)),
ROWP2   = 45                            ; or line type and parameter
LEFT    = 46                            ; cells left in a text row
TATTR   = 47

; Line types of gline: colour index of plane group c on the line.
L_BARS  = 0                             ; c / 5: eight vertical bars
L_FINE  = 1                             ; pixel p of every group in colour p
L_SOLID = 2                             ; LPARAM
L_DIAG  = 3                             ; (c + LPARAM) mod 8
L_SCAN  = 4                             ; (LNUM + LPARAM) mod 8: one colour per scanline

; Row kinds in the mixed page's row table.
TXT     = $00
GFX     = $10

; ============================================================================
        ORG $4000

start:  CLR R(PAGEF)
.show:  BTJO #01,R(PAGEF),.mixed
        CALL bitmap
        JMP .key
.mixed: CALL mixed
.key:   TRAP 5                          ; wait for a key press
        XOR #01,R(PAGEF)
        JMP .show

; ---------------------------------------------------------------------------
; bitmap: draws the bitmap page, then shows it. 120 scanlines of vertical
; bars, 10 of fine stripes, then 8 bands of 15 scanlines, one per colour.
bitmap: MOVD #0000,R(ADRL)
        TRAP 8
        CLR R(ORDER)
        MOV #L_BARS,R(LTYPE)
        MOV %120,R(CNTA)
.bars:  CALL bline
        DJNZ R(CNTA),.bars
        MOV #L_FINE,R(LTYPE)
        MOV %10,R(CNTA)
.fine:  CALL bline
        DJNZ R(CNTA),.fine
        MOV #L_SOLID,R(LTYPE)
        CLR R(LPARAM)
.band:  MOV %15,R(CNTA)
.line:  CALL bline
        DJNZ R(CNTA),.line
        INC R(LPARAM)
        CMP #08,R(LPARAM)
        JL .band
        MOV #06,B                       ; CM3: bitmap page
        MOV #80,A
        TRAP 6
        RETS

; bline: one scanline record of the bitmap page.
bline:  CALL gline
        MOVP #00,P(VDPWR)
        MOVP #00,P(VDPWR)
        RETS

; ---------------------------------------------------------------------------
; mixed: draws the mixed page from the row table, then shows it.
mixed:  MOVD #0000,R(ADRL)
        TRAP 8
        MOV #01,R(ORDER)
        CLR R(ROWI)
.row:   MOV R(ROWI),B
        LDA @rowtab+3(B)                ; the next row's kind
        MOV A,R(NEXTK)
        LDA @rowtab+1(B)
        MOV A,R(ROWP1)
        LDA @rowtab+2(B)
        MOV A,R(ROWP2)
        LDA @rowtab(B)
        JNE .gfx
        CALL textrow
        JMP .next
.gfx:   CALL gfxrow
.next:  ADD #03,R(ROWI)
        CMP %75,R(ROWI)
        JL .row
        MOV #06,B                       ; CM3: mixed page
        MOV #C0,A
        TRAP 6
        RETS

; textrow: the cells of the segments at R(ROWP1):R(ROWP2) (attribute,
; text, 0, ... $FF), white-on-black spaces up to 40 cells, then the kind
; byte and the spare byte.
textrow:
        MOV %40,R(LEFT)
.seg:   CALL tfetch
        CMP #FF,A
        JEQ .pad
        MOV A,R(TATTR)
.ch:    CALL tfetch
        JEQ .seg
        MOV A,B
        MOV R(LEFT),A
        JEQ .ch                         ; the row is full: the rest is dropped
        MOV R(TATTR),A
        MOVP A,P(VDPWR)
        MOVP B,P(VDPWR)
        DEC R(LEFT)
        JMP .ch
.pad:   MOV R(LEFT),A
        JEQ .kind
.sp:    MOVP #E0,P(VDPWR)
        MOVP #20,P(VDPWR)
        DJNZ R(LEFT),.sp
.kind:  MOV R(NEXTK),A
        MOVP A,P(VDPWR)
        MOVP #00,P(VDPWR)
        RETS

; tfetch: A <- the byte at R(ROWP1):R(ROWP2), which moves on; Z from A.
tfetch: LDA *R(ROWP2)
        ADD #01,R(ROWP2)
        ADC #00,R(ROWP1)
        TSTA
        RETS

; gfxrow: ten records of line type R(ROWP1), parameter R(ROWP2), each with
; the next row's kind at byte 120.
gfxrow: MOV R(ROWP1),R(LTYPE)
        MOV R(ROWP2),R(LPARAM)
        CLR R(LNUM)
.rec:   CALL gline
        MOV R(NEXTK),A
        MOVP A,P(VDPWR)
        MOVP #00,P(VDPWR)
        INC R(LNUM)
        CMP %10,R(LNUM)
        JL .rec
        RETS

; ---------------------------------------------------------------------------
; gline: the 40 plane groups of one scanline of line type R(LTYPE).
gline:  CLR R(GRPC)
.grp:   MOV R(LTYPE),A
        JEQ .bars
        CMP #L_FINE,A
        JEQ .fine
        CMP #L_SOLID,A
        JEQ .solid
        CMP #L_DIAG,A
        JEQ .diag
        MOV R(LNUM),A                   ; L_SCAN
        ADD R(LPARAM),A
        JMP .col
.bars:  MOV R(GRPC),A
        MPY #34,A                       ; A = c * 52 / 256 = c / 5 for c < 40
        JMP .col
.diag:  MOV R(GRPC),A
        ADD R(LPARAM),A
        JMP .col
.solid: MOV R(LPARAM),A
        JMP .col
.fine:  MOV #55,R(PLR)                  ; pixels 1, 3, 5, 7 have red,
        MOV #33,R(PLG)                  ; 2, 3, 6, 7 green,
        MOV #0F,R(PLB)                  ; 4, 5, 6, 7 blue
        JMP .put
.col:   AND #07,A
        CALL planes
.put:   CALL group
        INC R(GRPC)
        CMP %40,R(GRPC)
        JL .grp
        RETS

; planes: the plane bytes of a group of 8 pixels of colour A (bit 0 red,
; bit 1 green, bit 2 blue).
planes: CLR R(PLR)
        CLR R(PLG)
        CLR R(PLB)
        BTJZ #01,A,.g
        MOV #FF,R(PLR)
.g:     BTJZ #02,A,.b
        MOV #FF,R(PLG)
.b:     BTJZ #04,A,.done
        MOV #FF,R(PLB)
.done:  RETS

; group: writes the three plane bytes, red first or (R(ORDER) = 1) blue
; first.
group:  BTJO #01,R(ORDER),.bgr
        MOV R(PLR),A
        MOVP A,P(VDPWR)
        MOV R(PLG),A
        MOVP A,P(VDPWR)
        MOV R(PLB),A
        MOVP A,P(VDPWR)
        RETS
.bgr:   MOV R(PLB),A
        MOVP A,P(VDPWR)
        MOV R(PLG),A
        MOVP A,P(VDPWR)
        MOV R(PLR),A
        MOVP A,P(VDPWR)
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

; Text rows: attribute, text, 0, ..., $FF. Attribute: ink in bits 7-5,
; paper in bits 2-0 (0 black, 1 red, 2 green, 3 yellow, 4 blue, 5 magenta,
; 6 cyan, 7 white).
t_title:
        DB $E4
        TEXT "  OVIX DEMO CARTRIDGE  -  MIXED PAGE    ", 0
        DB $FF
t_names:
        DB $E0
        TEXT " ", 0
        DB $07
        TEXT "BLK", 0
        DB $E0
        TEXT "  ", 0
        DB $20
        TEXT "RED", 0
        DB $E0
        TEXT "  ", 0
        DB $40
        TEXT "GRN", 0
        DB $E0
        TEXT "  ", 0
        DB $60
        TEXT "YEL", 0
        DB $E0
        TEXT "  ", 0
        DB $80
        TEXT "BLU", 0
        DB $E0
        TEXT "  ", 0
        DB $A0
        TEXT "MAG", 0
        DB $E0
        TEXT "  ", 0
        DB $C0
        TEXT "CYN", 0
        DB $E0
        TEXT "  ", 0
        DB $E0
        TEXT "WHT", 0
        DB $FF
t_blocks:
        DB $E0
        TEXT "  0  ", 0
        DB $C1
        TEXT "  1  ", 0
        DB $A2
        TEXT "  2  ", 0
        DB $83
        TEXT "  3  ", 0
        DB $64
        TEXT "  4  ", 0
        DB $45
        TEXT "  5  ", 0
        DB $26
        TEXT "  6  ", 0
        DB $07
        TEXT "  7  ", 0
        DB $FF
t_text:
        DB $60
        TEXT " TEXT ROWS: ", 0
        DB $E0
        TEXT "40 CELLS OF 8 X 10 PIXELS", 0
        DB $FF
t_gfx:
        DB $C0
        TEXT " GRAPHIC ROWS: ", 0
        DB $E0
        TEXT "320 PIXELS, 8 COLOURS", 0
        DB $FF
t_kinds:
        DB $A0
        TEXT " EVERY ROW SAYS WHAT THE NEXT ONE IS", 0
        DB $FF
t_key:
        DB $E2
        TEXT "   PRESS A KEY FOR THE BITMAP PAGE      ", 0
        DB $FF

; ---- The BIOS's cartridge signature and our entry ---------------------------
        ORG $7FF0
        TEXT "OVIXCART"
        DW start
