; ============================================================================
; The worked example of the programmer's guide (docs/programming.md): an
; 8 KiB cartridge at 6000h-7FFFh that prints text, draws with characters of
; its own and reads the keyboard, through the open BIOS's services.
;
; Build: ovix-asm --cart 8K -o example.rom example.asm
; ============================================================================
        CPU     TMS7000

; ---- What the BIOS gives a cartridge ----------------------------------------
VDPWR   EQU     P46             ; 012Eh: VRAM data, written through the pointer
VREG    EQU     R8              ; TRAP 7: number of the 16-bit video register
ADRH    EQU     R9              ; TRAP 7, TRAP 8: an address in ADRH:ADRL
ADRL    EQU     R10

; ---- Our registers (R16-R95 are free) ----------------------------------------
ROW     EQU     R32             ; where locate, putc and puts write
COL     EQU     R33
ATTR    EQU     R34             ; the attribute they write
PTRH    EQU     R35             ; text pointer: the pair PTRH:PTRL
PTRL    EQU     R36
KEYS    EQU     R37             ; key presses so far, 0..29
CODE    EQU     R38             ; the last key's code
N       EQU     R39             ; loop counters
M       EQU     R40

; ---- Video memory and attributes ---------------------------------------------
TEXT    EQU     0000h           ; the text page (BAPA): 25 rows of 40 cells
SET1    EQU     7000h           ; pattern set 1: our own characters
BAGC1   EQU     12              ; the video register that points at it
BLOCK   EQU     1               ; our characters
BALL    EQU     2
; An attribute is ink (bits 7-5), pattern set (bits 4-3: 00 the BIOS's
; character set, 10 pattern set 1) and paper (bits 2-0).
WHITE   EQU     0E0h            ; white on black, characters
YELLOW  EQU     60h             ; yellow on black, characters
CYANB   EQU     0D0h            ; cyan on black, pattern set 1
GREENB  EQU     50h             ; green on black, pattern set 1
SET1A   EQU     10h             ; pattern set 1, black paper: add an ink

; ============================================================================
        ORG     6000h

start:  MOVD    #SET1,ADRL      ; pattern set 1 at SET1
        MOV     #BAGC1,VREG
        TRAP    7
        CALL    glyphs
        CALL    clear
        CALL    frame
        MOV     #YELLOW,ATTR
        MOV     #1,ROW
        MOV     #8,COL
        MOVD    #title,PTRL
        CALL    puts
        MOV     #WHITE,ATTR
        MOV     #6,ROW
        MOV     #5,COL
        MOVD    #prompt,PTRL
        CALL    puts
        MOV     #8,ROW
        MOV     #5,COL
        MOVD    #labels,PTRL
        CALL    puts
        CLR     KEYS

; The keyboard: every key press shows its character, its code and one more
; ball in a colour taken from the code.
loop:   TRAP    5               ; wait for a key press: its code in A
        MOV     A,CODE
        CMP     #' ',A          ; a character for codes 20h-7Eh, else '-'
        JL      .dash
        CMP     #7Fh,A
        JL      .show
.dash:  MOV     #'-',A
.show:  MOV     #WHITE,ATTR
        MOV     #8,ROW
        MOV     #10,COL
        CALL    putc
        MOV     #22,COL         ; the code in hexadecimal
        MOV     CODE,A
        SWAP    A
        CALL    hexdig
        MOV     CODE,A
        CALL    hexdig
        MOV     CODE,A          ; ink = code AND 7, white for black
        AND     #7,A
        JNZ     .ink
        MOV     #7,A
.ink:   SWAP    A               ; to bits 7-5
        RL      A
        OR      #SET1A,A
        MOV     A,ATTR
        MOV     #10,ROW
        MOV     KEYS,A
        ADD     #5,A
        MOV     A,COL
        MOV     #BALL,A
        CALL    putc
        INC     KEYS
        CMP     #30,KEYS
        JL      loop
        CLR     KEYS
        JMP     loop

; ---------------------------------------------------------------------------
; glyphs: our characters into pattern set 1. A pattern set holds line r
; (0 = top) of character n at SET1 + (9 - r) * 128 + n: ten slices of 128
; bytes, the bottom line first, bit 7 the leftmost pixel. The shapes are
; written bottom line first too.
glyphs: MOVD    #shapes,PTRL
        MOV     #BLOCK,CODE
.glyph: MOVD    #SET1,ADRL
        ADD     CODE,ADRL       ; + n (SET1's low byte is 0)
        MOV     #10,N
.line:  TRAP    8               ; the VRAM pointer to ADRH:ADRL
        CALL    fetch
        MOVP    A,VDPWR
        ADD     #128,ADRL       ; the slice of the line above
        ADC     #0,ADRH
        DJNZ    N,.line
        INC     CODE
        CMP     #BALL+1,CODE
        JL      .glyph
        RETS

shapes: DB      0FFh, 0FFh, 0FFh, 0FFh, 0FFh, 0FFh, 0FFh, 0FFh, 0FFh, 0FFh   ; BLOCK
        DB      00h, 3Ch, 7Eh, 0FFh, 0FFh, 0FFh, 0FFh, 7Eh, 3Ch, 00h          ; BALL

; clear: every cell a white space on black. 4 x 250 cells.
clear:  MOVD    #TEXT,ADRL
        TRAP    8
        MOV     #4,N
.block: MOV     #250,M
.cell:  MOVP    #WHITE,VDPWR    ; attribute, then character
        MOVP    #' ',VDPWR
        DJNZ    M,.cell
        DJNZ    N,.block
        RETS

; frame: a frame of blocks, rows 3 and 13 in cyan, columns 2 and 37 in green.
frame:  MOV     #3,ROW
        CALL    hline
        MOV     #13,ROW
        CALL    hline
        MOV     #GREENB,ATTR
        MOV     #4,ROW
.side:  MOV     #2,COL
        MOV     #BLOCK,A
        CALL    putc
        MOV     #37,COL
        MOV     #BLOCK,A
        CALL    putc
        INC     ROW
        CMP     #13,ROW
        JL      .side
        RETS

hline:  MOV     #2,COL
        CALL    locate
        MOV     #36,N
.cell:  MOVP    #CYANB,VDPWR
        MOVP    #BLOCK,VDPWR
        DJNZ    N,.cell
        RETS

; ---------------------------------------------------------------------------
; locate: the VRAM pointer to the cell at ROW, COL: TEXT + (ROW * 40 + COL)
; * 2, the cells being two bytes and the rows 80. Changes A, B, ADRH, ADRL.
locate: MOV     ROW,A
        MPY     #40,A           ; A:B = ROW * 40
        ADD     COL,B
        ADC     #0,A
        CLRC
        RLC     B               ; * 2
        RLC     A
        ADD     #LOW(TEXT),B
        ADC     #HIGH(TEXT),A
        MOV     A,ADRH
        MOV     B,ADRL
        TRAP    8
        RETS

; putc: character A in attribute ATTR at ROW, COL; COL moves on.
putc:   PUSH    A
        CALL    locate
        MOV     ATTR,A
        MOVP    A,VDPWR
        POP     A
        MOVP    A,VDPWR
        INC     COL
        RETS

; puts: the text at PTRH:PTRL, up to its 0, from ROW, COL in ATTR.
puts:   CALL    fetch
        JZ      .done
        CALL    putc
        JMP     puts
.done:  RETS

; hexdig: the low four bits of A as a hexadecimal digit, with putc.
hexdig: AND     #0Fh,A
        CMP     #10,A
        JL      .digit
        ADD     #'A'-'0'-10,A
.digit: ADD     #'0',A
        JMP     putc

; fetch: A = the byte at PTRH:PTRL, which moves on; Z set for a 0.
fetch:  LDA     *PTRL
        ADD     #1,PTRL
        ADC     #0,PTRH
        TSTA
        RETS

title:  TEXT    "OVIX-ASM WORKED EXAMPLE", 0
prompt: TEXT    "PRESS A KEY", 0
labels: TEXT    "KEY:       CODE:", 0

; ---- The BIOS starts a cartridge that ends with this ------------------------
        ORG     7FF0h
        TEXT    "OVIXCART"
        DW      start
