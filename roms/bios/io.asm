; ============================================================================
; Talking to the I/O processor: the INT1 handler, the ring of reply bytes,
; sending a command, and the key services.
;
; The I/O processor hands over one byte at a time. For each byte it puts the
; byte into the mailbox, clears A0 and asserts INT1 for 500 cycles; once the
; line is released it waits for a rising B1 (B1 must have been low before:
; only the edge counts, and only after the release). After the last byte of
; a reply it sets A0 and asserts INT1 once more; once that is released it
; waits for B0 to fall and is then "ready" again (or becomes ready by itself
; 5000 cycles later).
;
; INT1 is level-sensitive: RETI or EINT while the line is still asserted
; enters the handler again. The handler therefore waits, with interrupts
; off, until the line is released before it acknowledges and returns.
;
; The handler keeps every reply byte in a 256-byte ring in RAM (RXBUF,
; written at RXHEAD, read at RXTAIL); the rest of the BIOS and cartridges
; read replies from there. Port B is changed only through its shadow PBSH.
; Edges that the I/O processor would reject are never made: B1 is lowered
; right after the acknowledgement (the state it then is in ignores every
; edge), and a key reply, which arrives with B0 low, gets B0 raised while
; the end-of-reply INT1 is still asserted (also an ignoring state), so that
; it can fall afterwards like the end of any command.
; ============================================================================

; ---------------------------------------------------------------------------
; INT1: one byte from the I/O processor, the end of a reply, or the start-up
; byte. Uses A and B, saved on the stack.
int1:   PUSH A
        PUSH B
        BTJOP #1,APORT,.end             ; A0 high: the reply is complete
        ; A byte waits in the mailbox and INT1 is still asserted (or the
        ; start-up byte: the same signals). Lower B1 now if it is up, while
        ; the I/O processor ignores the edge.
        BTJZ #LINE_B1,PBSH,.take
        AND #~LINE_B1,PBSH
        MOV PBSH,A
        MOVP A,BPORT
.take:  MOVP MAILBOX,A
.rel:   BTJOP #2,IOCNT0,.rel            ; until INT1 is released
        BTJO #HSK,IOFLAG,.hsk
        ; Keep the byte, unless the ring is full (one slot stays free so
        ; that a full ring is not taken for an empty one).
        MOV RXHEAD,B
        INC B
        CMP RXTAIL,B
        JEQ .ack
        DEC B
        STA @RXBUF(B)
        INC RXHEAD
.ack:   OR #BUSY,IOFLAG
        OR #LINE_B1,PBSH                ; rising B1: byte taken
        MOV PBSH,A
        MOVP A,BPORT
        AND #~LINE_B1,PBSH              ; and down again at once (ignored)
        MOV PBSH,A
        MOVP A,BPORT
        JMP .out
        ; Start-up byte (08h): B1 up, then B0 down, and the I/O processor
        ; is ready.
.hsk:   OR #LINE_B1,PBSH
        MOV PBSH,A
        MOVP A,BPORT
        AND #~LINE_B0,PBSH
        MOV PBSH,A
        MOVP A,BPORT
        AND #~HSK,IOFLAG
        JMP .out
        ; End of a reply: B0 must fall once INT1 is released. A key reply
        ; came with B0 low: raise it first, while the edge is ignored.
.end:   BTJO #LINE_B0,PBSH,.rel2
        OR #LINE_B0,PBSH
        MOV PBSH,A
        MOVP A,BPORT
.rel2:  BTJOP #2,IOCNT0,.rel2           ; until INT1 is released
        AND #~LINE_B0,PBSH              ; falling B0: "ready"
        MOV PBSH,A
        MOVP A,BPORT
        AND #~BUSY,IOFLAG
.out:   POP B
        POP A
        RETI

; ---------------------------------------------------------------------------
; INT2: timer 1, every 20 ms. Counts ticks for the cursor blink and wakes an
; IDLE. (The INT2 flag in IOCNT0 plays no part in taking the interrupt and
; is left alone.)
int2:   INC TICKS
        RETI

; INT3 is never raised on this machine.
int3:   RETI

; ---------------------------------------------------------------------------
; getbyte: the next reply byte from the ring into A; waits (IDLE) until one
; is there. Uses B. Sleeping right after the ring was seen empty cannot
; hang: a byte on its way is followed by another INT1 (the next byte or the
; end of the reply), and timer 1 wakes the processor every 20 ms anyway.
getbyte:
.wait:  MOV RXTAIL,B
        CMP RXHEAD,B
        JNE .take
        IDLE
        JMP .wait
.take:  LDA @RXBUF(B)
        INC RXTAIL
        RETS

; ---------------------------------------------------------------------------
; iocmd: sends command B once the I/O processor is free. Uses A.
; A key can start a reply between any two instructions while the I/O
; processor is "ready", and its first byte (01h) then lands in the mailbox.
; With interrupts off: if that happened before the mailbox write, INT1 is
; pending and the mailbox gets its 01h back; if it happens after, the
; command is lost, which iocall notices.
iocmd:
.wait:  BTJZ #BUSY,IOFLAG,.free
        IDLE
        JMP .wait
.free:  DINT
        BTJO #BUSY,IOFLAG,.retry
        MOVP B,MAILBOX
        BTJOP #2,IOCNT0,.clash          ; a key reply began meanwhile
        OR #BUSY,IOFLAG
        MOV PBSH,A
        OR #LINE_B0,A                   ; B0 up ("command1"), B1 down in the
        AND #~LINE_B1,A                 ; same write: the B0 edge comes first,
        MOV A,PBSH                      ; then the B1 edge, which is ignored
        MOVP A,BPORT
        EINT
        RETS
.clash: MOVP #1,MAILBOX
.retry: EINT
        JMP .wait

; ---------------------------------------------------------------------------
; iocall: sends command B and reads the header of its reply (07h and the
; data length minus one, high byte in ADRH, low in ADRL); the data
; follow through getbyte. A key reply that comes first is taken on the way
; (a press is kept in PENDKEY); a command that a key reply pushed aside, or
; that came back not understood, is sent again. Uses A, B.
iocall: MOV B,CMD
.send:  MOV CMD,B
        CALL iocmd
.wait:  MOV RXTAIL,B
        CMP RXHEAD,B
        JNE .byte
        BTJZ #BUSY,IOFLAG,.send         ; nothing came, nothing is coming
        IDLE
        JMP .wait
.byte:  CALL getbyte
        CMP #7,A
        JEQ .head
        CMP #1,A
        JNE .wait                       ; a stray byte: dropped
        CALL getbyte                    ; a key reply: its code
        CMP #RELEASE,A
        JEQ .wait
        MOV A,PENDKEY
        JMP .wait
.head:  CALL getbyte
        MOV A,ADRH
        CALL getbyte
        MOV A,ADRL
        RETS

; ---------------------------------------------------------------------------
; pollkey (TRAP 4): the next key press in A, or A = 0 with Z set when there
; is none. Releases (04h) are skipped. Does not wait, except for the code
; that follows a key reply's first byte. Uses B.
pollkey:
        MOV PENDKEY,A
        JEQ .ring
        CLR PENDKEY
        TSTA
        RETS
.ring:  MOV RXTAIL,B
        CMP RXHEAD,B
        JEQ .none
        CALL getbyte
        CMP #1,A
        JNE .ring                       ; not a key reply: dropped
        CALL getbyte
        CMP #RELEASE,A
        JEQ .ring
        TSTA
        RETS
.none:  CLR A
        RETS

; getkey (TRAP 5): waits (IDLE) for the next key press; its code in A.
; Uses B.
getkey: CALL pollkey
        JNE .got
        IDLE
        JMP getkey
.got:   RETS
