DASM
; ============================================================================
; The video chip: register port, VRAM pointer, set-up, and the loaders that
; turn the I/O processor's character set and logo into pattern sets.
;
; Register port (write $012D): a selection byte names a register in its low
; nibble (and a second one in its high nibble); the data byte(s) follow.
; $21 followed by two bytes loads COL and then ROW. Loading ROW arms the
; column/row pointer: the next VRAM access in either direction starts at
; ROW*256+COL and sets which direction goes through that pointer; the other
; direction goes through the linear pointer, started from BAMP.
; A 16-bit register does not take its data byte: it is loaded with
; ROW*256+COL plus 2 (BAGC0-3) or plus 1 (BAMT, BAMP, BAPA, BAMTF), and every
; one except BAMP swallows one more byte.
; Either pointer that reaches BAMTF goes on at BAMP; with BAMTF = $8000 that
; only happens past the end of VRAM.
; ============================================================================

; ---------------------------------------------------------------------------
; vdp_addr (TRAP 8): points the column/row pointer at R(ADRH):R(ADRL); the
; next access through P(VDPWR) or P(VDPRD) starts there. Uses A.
vdp_addr:
        MOVP #21,P(VDPREG)              ; COL, then ROW
        MOV R(ADRL),A
        MOVP A,P(VDPREG)
        MOV R(ADRH),A
        MOVP A,P(VDPREG)
        RETS

; vdp_reg8 (TRAP 6): 8-bit register B (1..7) <- A.
vdp_reg8:
        MOVP B,P(VDPREG)
        MOVP A,P(VDPREG)
        RETS

; vdp_reg16 (TRAP 7): 16-bit register R(ARG) (8..15) <- R(ADRH):R(ADRL).
; Uses A; leaves ROW/COL and R(ADRH):R(ADRL) at the address minus the
; register's increment.
vdp_reg16:
        SUB #01,R(ADRL)
        SBB #00,R(ADRH)
        MOV R(ARG),A
        CMP #0B,A
        JL .set
        CMP #0F,A
        JHS .set
        SUB #01,R(ADRL)                 ; BAGC0-3 add 2
        SBB #00,R(ADRH)
.set:   CALL vdp_addr
        MOV R(ARG),A
        MOVP A,P(VDPREG)                ; select it
        MOVP #00,P(VDPREG)              ; the data byte loads it
        CMP #09,A
        JEQ .done                       ; BAMP takes no more
        MOVP #00,P(VDPREG)              ; swallowed
.done:  RETS

; ---------------------------------------------------------------------------
; vdp_init: the video chip from any state to a text page at PAGE, with the
; character set's pattern set at FONTSET and the logo's at LOGOSET, VRAM
; cleared. Uses A, B, R(ARG), R(ADRH), R(ADRL).
vdp_init:
        ; Whatever a reset interrupted, four zero bytes bring the register
        ; port back to "selection byte next" (at most two data bytes and one
        ; swallowed byte can be outstanding; a zero selection selects
        ; nothing).
        MOV #04,B
.sync:  MOVP #00,P(VDPREG)
        DJNZ B,.sync
        MOVP P(VDPRST),A                ; chip reset: VRAM and 16-bit registers 0
        MOV #06,B                       ; CM3 = 0: text page
        CLR A
        CALL vdp_reg8
        CLR B
.reg:   LDA @vdp_table(B)
        JEQ .end
        MOV A,R(ARG)
        LDA @vdp_table+1(B)
        MOV A,R(ADRH)
        LDA @vdp_table+2(B)
        MOV A,R(ADRL)
        PUSH B
        CALL vdp_reg16
        POP B
        ADD #03,B
        JMP .reg
        ; One read consumes the pending pointer loads (a BAMP load would
        ; otherwise take over the next write), whatever a reset left pending.
.end:   MOVP P(VDPRD),A
        RETS

vdp_table:
        DB 10
        DW PAGE                         ; BAPA: the page shown
        DB 11
        DW FONTSET                      ; BAGC0: the character set
        DB 12
        DW LOGOSET                      ; BAGC1: the logo's tiles
        DB 13
        DW FONTSET                      ; BAGC2 and BAGC3 show the character
        DB 14                           ; set too
        DW FONTSET
        DB 8
        DW 0                            ; BAMT
        DB 15
        DW $8000                        ; BAMTF: wrap only past the end
        DB 9
        DW 0                            ; BAMP
        DB 0

; ---------------------------------------------------------------------------
; load_font: the 1280 data bytes of the CHAR reply into the pattern set at
; FONTSET. They come glyph by glyph (code 0 first), each glyph's ten rows
; bottom row first; the pattern set keeps row r of code N at
; FONTSET + (9-r)*128 + N, so byte j of glyph N goes to FONTSET + j*128 + N.
; Uses A, B, R(ADRH), R(ADRL), R(CNT), R(TMP), R(GLYPH).
load_font:
        CLR R(GLYPH)
.glyph: MOV #>FONTSET,R(ADRH)
        MOV R(GLYPH),R(ADRL)            ; FONTSET + N (FONTSET's low byte is 0)
        MOV %10,R(CNT)
.row:   CALL getbyte
        MOV A,R(TMP)
        CALL vdp_addr
        MOV R(TMP),A
        MOVP A,P(VDPWR)
        ADD #80,R(ADRL)                 ; the next row up is 128 bytes further
        ADC #00,R(ADRH)
        DJNZ R(CNT),.row
        INC R(GLYPH)
        BTJZ #80,R(GLYPH),.glyph        ; until code 128
        RETS

; load_logo: the 992 data bytes of the LOGO reply, a 128 x 62 picture of 16
; bytes a row, into the pattern set at LOGOSET as 16 x 7 tiles of 8 x 10
; pixels: picture row y, byte x is line y mod 10 of tile (y/10)*16 + x,
; i.e. at LOGOSET + (9 - y mod 10)*128 + (y/10)*16 + x. The tiles' lines
; below row 61 stay 0 (VRAM was cleared). Uses A, B, R(ADRH), R(ADRL),
; R(CNT), R(CNT2), R(GLYPH) (y mod 10), R(TROW) ((y/10)*16).
load_logo:
        CLR R(GLYPH)
        CLR R(TROW)
        MOV %62,R(CNT2)
.line:  MOV #09,A
        SUB R(GLYPH),A
        MPY #80,A                       ; A:B = (9 - y mod 10) * 128
        ADD R(TROW),B
        ADC #>LOGOSET,A                 ; LOGOSET's low byte is 0
        MOV A,R(ADRH)
        MOV B,R(ADRL)
        CALL vdp_addr
        MOV %16,R(CNT)
.byte:  CALL getbyte
        MOVP A,P(VDPWR)
        DJNZ R(CNT),.byte
        INC R(GLYPH)
        CMP %10,R(GLYPH)
        JL .next
        CLR R(GLYPH)
        ADD %16,R(TROW)
.next:  DJNZ R(CNT2),.line
        RETS
