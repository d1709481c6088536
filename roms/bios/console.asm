; ============================================================================
; The text console on the 40 x 25 page at TPAGE: a cell is two bytes,
; attribute (ink in bits 7-5, pattern set in bits 4-3, paper in bits 2-0)
; then character code; rows are 80 bytes with no gap.
;
; Cursor: CROW, CCOL. It is shown by swapping the ink and paper
; colours of its cell (CURON = 1 while swapped); every routine that
; changes the page hides it first.
; ============================================================================

; celladdr: ADRH:ADRL <- address of the cell under the cursor,
; TPAGE + (row * 40 + column) * 2. Uses A, B.
celladdr:
        MOV CROW,A
        MPY #40,A                       ; A:B = row * 40
        ADD CCOL,B
        ADC #0,A
        CLRC
        RLC B                           ; * 2
        RLC A
        ADD #LOW(TPAGE),B
        ADC #HIGH(TPAGE),A
        MOV A,ADRH
        MOV B,ADRL
        RETS

; cls: every cell of the page <- (CATTR, space). Uses A, ADRH,
; ADRL, CNT, CNT2.
cls:    MOVD #TPAGE,ADRL
        CALL vdp_addr
        MOV #4,CNT2                     ; 4 x 250 cells
.out:   MOV #250,CNT
.cell:  MOV CATTR,A
        MOVP A,VDPWR
        MOVP #20h,VDPWR
        DJNZ CNT,.cell
        DJNZ CNT2,.out
        RETS

; ---------------------------------------------------------------------------
; putc: character A at the cursor in CATTR, then the cursor moves right.
; cur_right, line_feed: the cursor moves; past the last column it goes to
; the next line, past the last line the page scrolls.
; Use A, B, ADRH, ADRL, TMP (and what scroll uses).
putc:   MOV A,TMP
        CALL celladdr
        CALL vdp_addr
        MOV CATTR,A
        MOVP A,VDPWR
        MOV TMP,A
        MOVP A,VDPWR
cur_right:
        INC CCOL
        CMP #COLS,CCOL
        JL cur_ok
        CLR CCOL
line_feed:
        INC CROW
        CMP #ROWS,CROW
        JL cur_ok
        MOV #ROWS-1,CROW
        JMP scroll                      ; returns for us
cur_ok: RETS

; new_line: column 0 of the next line, then the prompt.
new_line:
        CLR CCOL
        CALL line_feed
prompt: MOV CATTR,A
        PUSH A
        MOV #ATTR_PROMPT,CATTR
        MOV #'>',A
        CALL putc
        MOV #' ',A
        CALL putc
        POP A
        MOV A,CATTR
        RETS

; cur_left: back one cell, to the end of the line above from column 0;
; nothing at the top left corner.
cur_left:
        MOV CCOL,A
        JEQ .up
        DEC CCOL
        RETS
.up:    MOV CROW,A
        JEQ .done
        DEC CROW
        MOV #COLS-1,CCOL
.done:  RETS

; cur_up: one line up, nothing on the top line.
cur_up: MOV CROW,A
        JEQ .done
        DEC CROW
.done:  RETS

; ---------------------------------------------------------------------------
; scroll: every row moves up one, the last row is blanked in ATTR_TEXT.
; The copy reads through the linear pointer (BAMP, loaded with ROW/COL + 1)
; and writes through the column/row pointer: with both loads pending, the
; first access (a read) leaves reads on the linear pointer and writes on
; the column/row one, and both then advance on their own.
; Uses A, ADRH, ADRL, CNT, CNT2.
scroll: MOVD #TPAGE+2*COLS-1,ADRL       ; BAMP = TPAGE + one row
        CALL vdp_addr
        MOVP #9,VDPREG
        MOVP #0,VDPREG
        MOVD #TPAGE,ADRL
        CALL vdp_addr
        MOV #8,CNT2                     ; 8 x 240 = 1920 bytes: 24 rows
.out:   MOV #240,CNT
.copy:  MOVP VDPRD,A
        MOVP A,VDPWR
        DJNZ CNT,.copy
        DJNZ CNT2,.out
        MOV #COLS,CNT                   ; the writes have reached the last row
.blank: MOVP #ATTR_TEXT,VDPWR
        MOVP #20h,VDPWR
        DJNZ CNT,.blank
        RETS

; ---------------------------------------------------------------------------
; Cursor. cur_toggle swaps ink and paper of the cursor's cell (read back
; through the column/row pointer, which the read puts in read direction; a
; fresh load puts it back for the write). Uses A, B, ADRH, ADRL,
; TMP.
cur_toggle:
        XOR #1,CURON
        CALL celladdr
        CALL vdp_addr
        LDVDP A,VDPRD                   ; the attribute byte
        MOV A,TMP
        AND #7,A                        ; paper -> ink: bits 2-0 to 7-5
        SWAP A
        RL A
        MOV A,B
        MOV TMP,A                       ; ink -> paper: bits 7-5 to 2-0
        SWAP A
        RR A
        AND #7,A
        OR B,A
        MOV A,B
        MOV TMP,A                       ; the pattern set stays
        AND #18h,A
        OR B,A
        MOV A,TMP
        CALL vdp_addr
        MOV TMP,A
        MOVP A,VDPWR
        RETS

; cur_hide / cur_show: the cursor off / on; cur_show also restarts the blink
; period so that a moved cursor is seen at once. Use what cur_toggle uses.
cur_hide:
        BTJZ #1,CURON,.done
        CALL cur_toggle
.done:  RETS

cur_show:
        MOV TICKS,A
        ADD #BLINK,A
        MOV A,BLINKAT
        BTJO #1,CURON,.done
        CALL cur_toggle
.done:  RETS

; ---------------------------------------------------------------------------
; print_tab: prints the entries of the table at PTRH:PTRL, each
; "row, column, attribute, text, 0", up to a row byte 0FFh. The cursor ends
; after the last text. Uses A, B, ADRH, ADRL, TMP, CATTR.
print_tab:
        CALL fetch
        CMP #0FFh,A
        JEQ .end
        MOV A,CROW
        CALL fetch
        MOV A,CCOL
        CALL fetch
        MOV A,CATTR
.ch:    CALL fetch
        JEQ print_tab
        CALL putc
        JMP .ch
.end:   RETS

; fetch: A <- the byte at PTRH:PTRL, which moves on; Z and N from A.
fetch:  LDA *PTRL
        ADD #1,PTRL
        ADC #0,PTRH
        TSTA
        RETS

; ---------------------------------------------------------------------------
; key: what a key press does at the prompt. Letters, digits, space and the
; other printable codes are echoed; Enter starts a new line with a prompt;
; the arrows move the cursor. Anything else is ignored.
key:    MOV A,KEYC
        CALL cur_hide
        MOV KEYC,A
        CMP #0Dh,A
        JEQ .enter
        CMP #80h,A
        JEQ .up
        CMP #81h,A
        JEQ .right
        CMP #82h,A
        JEQ .down
        CMP #83h,A
        JEQ .left
        CMP #20h,A
        JL .done
        CMP #7Fh,A
        JHS .done
        CALL putc
        JMP .done
.enter: CALL new_line
        JMP .done
.up:    CALL cur_up
        JMP .done
.right: CALL cur_right
        JMP .done
.down:  CALL line_feed
        JMP .done
.left:  CALL cur_left
.done:  JMP cur_show                    ; returns for us

; console: the prompt's loop: key presses, the cursor blink, and sleep
; (IDLE) until the next interrupt in between. Never returns.
console:
        MOV #ATTR_TEXT,CATTR
        CALL cur_show
.loop:  CALL pollkey
        JEQ .blink
        CALL key
        JMP .loop
.blink: MOV TICKS,A                     ; due when TICKS - BLINKAT >= 0
        SUB BLINKAT,A
        BTJO #80h,A,.sleep
        MOV TICKS,A
        ADD #BLINK,A
        MOV A,BLINKAT
        CALL cur_toggle
.sleep: IDLE
        JMP .loop

; ---------------------------------------------------------------------------
; show_logo: the 16 x 7 logo tiles on text rows LOGOROW.. at column LOGOCOL,
; each tile row in its own colour (logo_attr). Uses A, B, ADRH, ADRL,
; CNT, TMP, CROW, CCOL, TROW.
show_logo:
        CLR TROW
.row:   MOV TROW,A
        ADD #LOGOROW,A
        MOV A,CROW
        MOV #LOGOCOL,CCOL
        CALL celladdr
        CALL vdp_addr
        MOV TROW,A
        SWAP A                          ; first tile of the row: 16 * row
        MOV A,TMP
        MOV TROW,B
        LDA @logo_attr(B)
        MOV #16,CNT
.cell:  MOVP A,VDPWR
        MOV A,B
        MOV TMP,A
        MOVP A,VDPWR
        INC TMP
        MOV B,A
        DJNZ CNT,.cell
        INC TROW
        CMP #7,TROW
        JL .row
        RETS

; Tile rows' attributes: ink colour in bits 7-5, pattern set 1 (bits 4-3 =
; 10), the page's blue paper in bits 2-0.
logo_attr:
        DB 0D4h, 0D4h, 0D4h, 54h, 74h, 74h, 74h ; cyan, cyan, cyan, green, yellow, yellow, yellow
