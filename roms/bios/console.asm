DASM
; ============================================================================
; The text console on the 40 x 25 page at PAGE: a cell is two bytes,
; attribute (ink in bits 7-5, pattern set in bits 4-3, paper in bits 2-0)
; then character code; rows are 80 bytes with no gap.
;
; Cursor: R(CROW), R(CCOL). It is shown by swapping the ink and paper
; colours of its cell (R(CURON) = 1 while swapped); every routine that
; changes the page hides it first.
; ============================================================================

; celladdr: R(ADRH):R(ADRL) <- address of the cell under the cursor,
; PAGE + (row * 40 + column) * 2. Uses A, B.
celladdr:
        MOV R(CROW),A
        MPY %40,A                       ; A:B = row * 40
        ADD R(CCOL),B
        ADC #00,A
        CLRC
        RLC B                           ; * 2
        RLC A
        ADD #<PAGE,B
        ADC #>PAGE,A
        MOV A,R(ADRH)
        MOV B,R(ADRL)
        RETS

; cls: every cell of the page <- (R(CATTR), space). Uses A, R(ADRH),
; R(ADRL), R(CNT), R(CNT2).
cls:    MOVD #PAGE,R(ADRL)
        CALL vdp_addr
        MOV #04,R(CNT2)                 ; 4 x 250 cells
.out:   MOV %250,R(CNT)
.cell:  MOV R(CATTR),A
        MOVP A,P(VDPWR)
        MOVP #20,P(VDPWR)
        DJNZ R(CNT),.cell
        DJNZ R(CNT2),.out
        RETS

; ---------------------------------------------------------------------------
; putc: character A at the cursor in R(CATTR), then the cursor moves right.
; cur_right, line_feed: the cursor moves; past the last column it goes to
; the next line, past the last line the page scrolls.
; Use A, B, R(ADRH), R(ADRL), R(TMP) (and what scroll uses).
putc:   MOV A,R(TMP)
        CALL celladdr
        CALL vdp_addr
        MOV R(CATTR),A
        MOVP A,P(VDPWR)
        MOV R(TMP),A
        MOVP A,P(VDPWR)
cur_right:
        INC R(CCOL)
        CMP %COLS,R(CCOL)
        JL cur_ok
        CLR R(CCOL)
line_feed:
        INC R(CROW)
        CMP %ROWS,R(CROW)
        JL cur_ok
        MOV %ROWS-1,R(CROW)
        JMP scroll                      ; returns for us
cur_ok: RETS

; new_line: column 0 of the next line, then the prompt.
new_line:
        CLR R(CCOL)
        CALL line_feed
prompt: MOV R(CATTR),A
        PUSH A
        MOV #ATTR_PROMPT,R(CATTR)
        MOV #'>',A
        CALL putc
        MOV #' ',A
        CALL putc
        POP A
        MOV A,R(CATTR)
        RETS

; cur_left: back one cell, to the end of the line above from column 0;
; nothing at the top left corner.
cur_left:
        MOV R(CCOL),A
        JEQ .up
        DEC R(CCOL)
        RETS
.up:    MOV R(CROW),A
        JEQ .done
        DEC R(CROW)
        MOV %COLS-1,R(CCOL)
.done:  RETS

; cur_up: one line up, nothing on the top line.
cur_up: MOV R(CROW),A
        JEQ .done
        DEC R(CROW)
.done:  RETS

; ---------------------------------------------------------------------------
; scroll: every row moves up one, the last row is blanked in ATTR_TEXT.
; The copy reads through the linear pointer (BAMP, loaded with ROW/COL + 1)
; and writes through the column/row pointer: with both loads pending, the
; first access (a read) leaves reads on the linear pointer and writes on
; the column/row one, and both then advance on their own.
; Uses A, R(ADRH), R(ADRL), R(CNT), R(CNT2).
scroll: MOVD %PAGE+2*COLS-1,R(ADRL)     ; BAMP = PAGE + one row
        CALL vdp_addr
        MOVP #09,P(VDPREG)
        MOVP #00,P(VDPREG)
        MOVD %PAGE,R(ADRL)
        CALL vdp_addr
        MOV #08,R(CNT2)                 ; 8 x 240 = 1920 bytes: 24 rows
.out:   MOV %240,R(CNT)
.copy:  MOVP P(VDPRD),A
        MOVP A,P(VDPWR)
        DJNZ R(CNT),.copy
        DJNZ R(CNT2),.out
        MOV %COLS,R(CNT)                ; the writes have reached the last row
.blank: MOVP #ATTR_TEXT,P(VDPWR)
        MOVP #20,P(VDPWR)
        DJNZ R(CNT),.blank
        RETS

; ---------------------------------------------------------------------------
; Cursor. cur_toggle swaps ink and paper of the cursor's cell (read back
; through the column/row pointer, which the read puts in read direction; a
; fresh load puts it back for the write). Uses A, B, R(ADRH), R(ADRL),
; R(TMP).
cur_toggle:
        XOR #01,R(CURON)
        CALL celladdr
        CALL vdp_addr
        LDVDP A,P(VDPRD)                ; the attribute byte
        MOV A,R(TMP)
        AND #07,A                       ; paper -> ink: bits 2-0 to 7-5
        SWAP A
        RL A
        MOV A,B
        MOV R(TMP),A                    ; ink -> paper: bits 7-5 to 2-0
        SWAP A
        RR A
        AND #07,A
        OR B,A
        MOV A,B
        MOV R(TMP),A                    ; the pattern set stays
        AND #18,A
        OR B,A
        MOV A,R(TMP)
        CALL vdp_addr
        MOV R(TMP),A
        MOVP A,P(VDPWR)
        RETS

; cur_hide / cur_show: the cursor off / on; cur_show also restarts the blink
; period so that a moved cursor is seen at once. Use what cur_toggle uses.
cur_hide:
        BTJZ #01,R(CURON),.done
        CALL cur_toggle
.done:  RETS

cur_show:
        MOV R(TICKS),A
        ADD %BLINK,A
        MOV A,R(BLINKAT)
        BTJO #01,R(CURON),.done
        CALL cur_toggle
.done:  RETS

; ---------------------------------------------------------------------------
; print_tab: prints the entries of the table at R(PTRH):R(PTRL), each
; "row, column, attribute, text, 0", up to a row byte $FF. The cursor ends
; after the last text. Uses A, B, R(ADRH), R(ADRL), R(TMP), R(CATTR).
print_tab:
        CALL fetch
        CMP #FF,A
        JEQ .end
        MOV A,R(CROW)
        CALL fetch
        MOV A,R(CCOL)
        CALL fetch
        MOV A,R(CATTR)
.ch:    CALL fetch
        JEQ print_tab
        CALL putc
        JMP .ch
.end:   RETS

; fetch: A <- the byte at R(PTRH):R(PTRL), which moves on; Z and N from A.
fetch:  LDA *R(PTRL)
        ADD #01,R(PTRL)
        ADC #00,R(PTRH)
        TSTA
        RETS

; ---------------------------------------------------------------------------
; key: what a key press does at the prompt. Letters, digits, space and the
; other printable codes are echoed; Enter starts a new line with a prompt;
; the arrows move the cursor. Anything else is ignored.
key:    MOV A,R(KEYC)
        CALL cur_hide
        MOV R(KEYC),A
        CMP #0D,A
        JEQ .enter
        CMP #80,A
        JEQ .up
        CMP #81,A
        JEQ .right
        CMP #82,A
        JEQ .down
        CMP #83,A
        JEQ .left
        CMP #20,A
        JL .done
        CMP #7F,A
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
        MOV #ATTR_TEXT,R(CATTR)
        CALL cur_show
.loop:  CALL pollkey
        JEQ .blink
        CALL key
        JMP .loop
.blink: MOV R(TICKS),A                  ; due when TICKS - BLINKAT >= 0
        SUB R(BLINKAT),A
        BTJO #80,A,.sleep
        MOV R(TICKS),A
        ADD %BLINK,A
        MOV A,R(BLINKAT)
        CALL cur_toggle
.sleep: IDLE
        JMP .loop

; ---------------------------------------------------------------------------
; show_logo: the 16 x 7 logo tiles on text rows LOGOROW.. at column LOGOCOL,
; each tile row in its own colour (logo_attr). Uses A, B, R(ADRH), R(ADRL),
; R(CNT), R(TMP), R(CROW), R(CCOL), R(TROW).
show_logo:
        CLR R(TROW)
.row:   MOV R(TROW),A
        ADD %LOGOROW,A
        MOV A,R(CROW)
        MOV %LOGOCOL,R(CCOL)
        CALL celladdr
        CALL vdp_addr
        MOV R(TROW),A
        SWAP A                          ; first tile of the row: 16 * row
        MOV A,R(TMP)
        MOV R(TROW),B
        LDA @logo_attr(B)
        MOV %16,R(CNT)
.cell:  MOVP A,P(VDPWR)
        MOV A,B
        MOV R(TMP),A
        MOVP A,P(VDPWR)
        INC R(TMP)
        MOV B,A
        DJNZ R(CNT),.cell
        INC R(TROW)
        CMP #07,R(TROW)
        JL .row
        RETS

; Tile rows' attributes: ink colour in bits 7-5, pattern set 1 (bits 4-3 =
; 10), the page's blue paper in bits 2-0.
logo_attr:
        DB $D4, $D4, $D4, $54, $74, $74, $74 ; cyan, cyan, cyan, green, yellow, yellow, yellow
