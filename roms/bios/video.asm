; ============================================================================
; The video chip: register port, VRAM pointer, set-up, and the loaders that
; turn the I/O processor's character set and logo into pattern sets.
;
; Register port (write 012Dh): a selection byte names a register in its low
; nibble (and a second one in its high nibble); the data byte(s) follow.
; 21h followed by two bytes loads COL and then ROW. Loading ROW arms the
; column/row pointer: the next VRAM access in either direction starts at
; ROW*256+COL and sets which direction goes through that pointer; the other
; direction goes through the linear pointer, started from BAMP.
; A 16-bit register does not take its data byte: it is loaded with
; ROW*256+COL plus 2 (BAGC0-3) or plus 1 (BAMT, BAMP, BAPA, BAMTF), and every
; one except BAMP swallows one more byte.
; Either pointer that reaches BAMTF goes on at BAMP; with BAMTF = 8000h that
; only happens past the end of VRAM.
; ============================================================================

; ---------------------------------------------------------------------------
; vdp_addr (TRAP 8): points the column/row pointer at ADRH:ADRL; the
; next access through VDPWR or VDPRD starts there. Uses A.
vdp_addr:
        MOVP #21h,VDPREG                ; COL, then ROW
        MOV ADRL,A
        MOVP A,VDPREG
        MOV ADRH,A
        MOVP A,VDPREG
        RETS

; vdp_reg8 (TRAP 6): 8-bit register B (1..7) <- A.
vdp_reg8:
        MOVP B,VDPREG
        MOVP A,VDPREG
        RETS

; vdp_reg16 (TRAP 7): 16-bit register ARG (8..15) <- ADRH:ADRL.
; Uses A; leaves ROW/COL and ADRH:ADRL at the address minus the
; register's increment.
vdp_reg16:
        SUB #1,ADRL
        SBB #0,ADRH
        MOV ARG,A
        CMP #0Bh,A
        JL .set
        CMP #0Fh,A
        JHS .set
        SUB #1,ADRL                     ; BAGC0-3 add 2
        SBB #0,ADRH
.set:   CALL vdp_addr
        MOV ARG,A
        MOVP A,VDPREG                   ; select it
        MOVP #0,VDPREG                  ; the data byte loads it
        CMP #9,A
        JEQ .done                       ; BAMP takes no more
        MOVP #0,VDPREG                  ; swallowed
.done:  RETS

; ---------------------------------------------------------------------------
; vdp_init: the video chip from any state to a text page at TPAGE, with the
; character set's pattern set at FONTSET and the logo's at LOGOSET, VRAM
; cleared. Uses A, B, ARG, ADRH, ADRL.
vdp_init:
        ; Whatever a reset interrupted, four zero bytes bring the register
        ; port back to "selection byte next" (at most two data bytes and one
        ; swallowed byte can be outstanding; a zero selection selects
        ; nothing).
        MOV #4,B
.sync:  MOVP #0,VDPREG
        DJNZ B,.sync
        MOVP VDPRST,A                   ; chip reset: VRAM and 16-bit registers 0
        MOV #6,B                        ; CM3 = 0: text page
        CLR A
        CALL vdp_reg8
        CLR B
.reg:   LDA @vdp_table(B)
        JEQ .end
        MOV A,ARG
        LDA @vdp_table+1(B)
        MOV A,ADRH
        LDA @vdp_table+2(B)
        MOV A,ADRL
        PUSH B
        CALL vdp_reg16
        POP B
        ADD #3,B
        JMP .reg
        ; One read consumes the pending pointer loads (a BAMP load would
        ; otherwise take over the next write), whatever a reset left pending.
.end:   MOVP VDPRD,A
        RETS

vdp_table:
        DB 10
        DW TPAGE                        ; BAPA: the page shown
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
        DW 8000h                        ; BAMTF: wrap only past the end
        DB 9
        DW 0                            ; BAMP
        DB 0

; ---------------------------------------------------------------------------
; load_font: the 1280 data bytes of the CHAR reply into the pattern set at
; FONTSET. They come glyph by glyph (code 0 first), each glyph's ten rows
; bottom row first; the pattern set keeps row r of code N at
; FONTSET + (9-r)*128 + N, so byte j of glyph N goes to FONTSET + j*128 + N.
; Uses A, B, ADRH, ADRL, CNT, TMP, GLYPH.
load_font:
        CLR GLYPH
.glyph: MOV #HIGH(FONTSET),ADRH
        MOV GLYPH,ADRL                  ; FONTSET + N (FONTSET's low byte is 0)
        MOV #10,CNT
.row:   CALL getbyte
        MOV A,TMP
        CALL vdp_addr
        MOV TMP,A
        MOVP A,VDPWR
        ADD #80h,ADRL                   ; the next row up is 128 bytes further
        ADC #0,ADRH
        DJNZ CNT,.row
        INC GLYPH
        BTJZ #80h,GLYPH,.glyph          ; until code 128
        RETS

; load_logo: the 992 data bytes of the LOGO reply, a 128 x 62 picture of 16
; bytes a row, into the pattern set at LOGOSET as 16 x 7 tiles of 8 x 10
; pixels: picture row y, byte x is line y mod 10 of tile (y/10)*16 + x,
; i.e. at LOGOSET + (9 - y mod 10)*128 + (y/10)*16 + x. The tiles' lines
; below row 61 stay 0 (VRAM was cleared). Uses A, B, ADRH, ADRL,
; CNT, CNT2, GLYPH (y mod 10), TROW ((y/10)*16).
load_logo:
        CLR GLYPH
        CLR TROW
        MOV #62,CNT2
.line:  MOV #9,A
        SUB GLYPH,A
        MPY #80h,A                      ; A:B = (9 - y mod 10) * 128
        ADD TROW,B
        ADC #HIGH(LOGOSET),A            ; LOGOSET's low byte is 0
        MOV A,ADRH
        MOV B,ADRL
        CALL vdp_addr
        MOV #16,CNT
.byte:  CALL getbyte
        MOVP A,VDPWR
        DJNZ CNT,.byte
        INC GLYPH
        CMP #10,GLYPH
        JL .next
        CLR GLYPH
        ADD #16,TROW
.next:  DJNZ CNT2,.line
        RETS
