DASM
; ============================================================================
; Ovix open BIOS: the main processor's 2 KiB internal ROM, $F800-$FFFF.
;
; At reset it sets up the stack, the video chip (a 40 x 25 text page), timer
; 1 and the interrupts, makes the start-up handshake with the I/O processor,
; loads the character set (command $0B) into a pattern set, and starts a
; cartridge that carries our signature. Without one it fetches the logo
; (command $0D), shows it with a coloured banner and a prompt, echoes keys
; and blinks the cursor.
;
; Cartridge signature: the eight bytes "OVIXCART" at $7FF0-$7FF7 and the
; big-endian entry address at $7FF8 (in $0200-$7FFF). Every cartridge size
; ends at $7FFF, so the signature sits at the same place in all of them.
; What a cartridge finds at its entry, and the services it can call with
; TRAP 4..8, are described in the README (section on the open BIOS).
;
; Loading this image patches twelve bytes to NOPs: $F977-$F979,
; $F980-$F982, $F98D-$F98F and $F9AE-$F9B0. Nothing is placed in
; $F970-$F9B7; a fill there stops the build if code grows into it.
;
; Build: ovix-asm --base F800 --size 2048 -o BIOS7020.bin bios.asm
; ============================================================================

; ---- Peripheral registers (Pn is address $0100 + n) ------------------------
IOCNT0  = 0                             ; interrupt enables (bits 0, 2, 4) and flags (1, 3, 5);
                        ; bit 1 also reads 1 while the INT1 line is asserted
T1DATA  = 2                             ; timer 1 reload value
T1CTL   = 3                             ; timer 1: bit 7 run, bits 4-0 prescaler reload
APORT   = 4             ; port A: bit 0 is the I/O processor's line A0
BPORT   = 6                             ; port B: bits 0, 1 are the lines B0, B1 to it
VDPRD   = 36                            ; $0124 read: VRAM data through the pointers
VDPRST  = 39                            ; $0127 read: resets the video chip
VDPREG  = 45                            ; $012D write: register port
VDPWR   = 46                            ; $012E write: VRAM data through the pointers
MAILBOX = 48                            ; $0130: the byte shared with the I/O processor

LINE_B0 = $01                           ; port B bits
LINE_B1 = $02

; ---- Register file ---------------------------------------------------------
; R0 = A, R1 = B. R2-R7 belong to the interrupt handlers and the reply ring
; for good; R8-R15 are scratch of every routine and service; R16-R31 are the
; console's (free for a cartridge); the stack grows upwards from R96.
PBSH    = 2                             ; shadow of port B (port B only changes through it)
RXHEAD  = 3                             ; ring write index (INT1)
RXTAIL  = 4                             ; ring read index
IOFLAG  = 5                             ; HSK | BUSY, below
TICKS   = 6                             ; +1 on every timer 1 interrupt (20 ms)
PENDKEY = 7                             ; a key press taken while waiting for a reply, or 0
ARG     = 8                             ; register number for vdp_reg16
ADRH    = 9                             ; VRAM address, high byte: pair R(ADRL)
ADRL    = 10
CNT     = 11                            ; loop counters
CNT2    = 12
TMP     = 13
CROW    = 16                            ; cursor row 0..24
CCOL    = 17                            ; cursor column 0..39
CATTR   = 18                            ; attribute of printed characters
CURON   = 19                            ; 1 while the cursor cell shows swapped colours
BLINKAT = 20                            ; TICKS value of the next blink
PTRH    = 21                            ; text pointer, high byte: pair R(PTRL)
PTRL    = 22
CMD     = 23                            ; command being sent by iocall
GLYPH   = 24                            ; loader counters
TROW    = 25
KEYC    = 26                            ; key being handled

STACK   = $5F                           ; the first push goes to R96

HSK     = $01                           ; IOFLAG: the start-up byte is awaited
BUSY    = $02                           ; IOFLAG: a reply is under way
RELEASE = $04                           ; the key code sent when a key goes up

; ---- Memory and video memory -----------------------------------------------
RXBUF   = $C000                         ; 256-byte reply ring ($C000-$C0FF); RAM above is free
CARTSIG = $7FF0                         ; cartridge signature and entry
CARTENT = $7FF8
PAGE    = $0000                         ; the text page (BAPA), 2000 bytes
LOGOSET = $7000                         ; pattern set 1 (BAGC1): logo tiles
FONTSET = $7800                         ; pattern set 0 (BAGC0, BAGC2, BAGC3): character set

COLS    = 40
ROWS    = 25
LOGOROW = 1                             ; logo tiles: text rows 1-7, columns 12-27
LOGOCOL = 12
BLINK   = 20                            ; cursor blink: every 20 ticks (0.4 s)

ATTR_TEXT   = $E4                       ; white on blue
ATTR_PROMPT = $64                       ; yellow on blue

; ============================================================================
        ORG $F800

reset:  DINT
        MOV #STACK,B
        LDSP
        CLR R(PBSH)
        MOVP #00,P(BPORT)               ; B0, B1 low
        CLR R(RXHEAD)
        CLR R(RXTAIL)
        CLR R(IOFLAG)
        CLR R(TICKS)
        CLR R(PENDKEY)
        CLR R(CURON)
        CALL vdp_init
        MOV #ATTR_TEXT,R(CATTR)
        CALL cls
        ; Timer 1: INT2 every 16 x (24 + 1) x (249 + 1) = 100000 cycles.
        MOVP #F9,P(T1DATA)
        MOVP #98,P(T1CTL)
        MOVP #2F,P(IOCNT0)              ; stale flags cleared; INT1, INT2 on
        EINT
        ; Start-up handshake: B0 up; half a second later the start-up byte
        ; comes through INT1, whose handler answers it (B1 up, B0 down).
        OR #HSK,R(IOFLAG)
        OR #LINE_B0,R(PBSH)
        MOV R(PBSH),A
        MOVP A,P(BPORT)
.hsk:   BTJZ #HSK,R(IOFLAG),.font
        IDLE
        JMP .hsk
.font:  MOV #0B,B
        CALL iocall
        CALL load_font
        CALL cartridge
        MOV #0D,B
        CALL iocall
        CALL load_logo
        CALL show_logo
        MOVD #banner,R(PTRL)
        CALL print_tab
        BR console

; cartridge: with the signature in place, on to the cartridge's entry;
; otherwise back. Uses A, B, R(ADRH), R(ADRL).
cartridge:
        CLR B
.sig:   LDA @CARTSIG(B)
        CMPA @signature(B)
        JNE .none
        INC B
        CMP #08,B
        JL .sig
        LDA @CARTENT
        CMP #02,A                       ; the entry must lie in $0200-$7FFF
        JL .none
        CMP #80,A
        JHS .none
        MOV A,R(ADRH)
        LDA @CARTENT+1
        MOV A,R(ADRL)
        BR *R(ADRL)
.none:  RETS

signature:
        TEXT "OVIXCART"

        INCLUDE "video.asm"

; ---- Left empty: loading patches bytes in here -----------------------------
        ORG $F970
        FILL $F9B8-$F970,$FF

        ORG $F9B8
        INCLUDE "io.asm"
        INCLUDE "console.asm"

; Banner: row, column, attribute, text, 0 ... $FF. The attribute's ink is in
; bits 7-5, its paper in bits 2-0.
banner:
        DB 9, 0, $61
        TEXT "        OVIX   OPEN   BIOS   1.0        ", 0
        DB 10, 0, $E0
        TEXT "     ", 0
        DB 10, 5, $C1
        TEXT "     ", 0
        DB 10, 10, $A2
        TEXT "     ", 0
        DB 10, 15, $83
        TEXT "     ", 0
        DB 10, 20, $64
        TEXT "     ", 0
        DB 10, 25, $45
        TEXT "     ", 0
        DB 10, 30, $26
        TEXT "     ", 0
        DB 10, 35, $07
        TEXT "     ", 0
        DB 12, 4, $C4
        TEXT "2K RAM   32K VIDEO RAM   8 COLOURS", 0
        DB 14, 0, $44
        TEXT "READY", 0
        DB 15, 0, ATTR_PROMPT
        TEXT "> ", 0
        DB $FF

; ---- Vectors: TRAP n at $FFFE - 2n; TRAP 0-3 share reset, INT1-INT3 --------
        ORG $FFD0
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 23-19
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 18-14
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 13-9
        DW vdp_addr                     ; TRAP 8  $FFEE
        DW vdp_reg16                    ; TRAP 7  $FFF0
        DW vdp_reg8                     ; TRAP 6  $FFF2
        DW getkey                       ; TRAP 5  $FFF4
        DW pollkey                      ; TRAP 4  $FFF6
        DW int3                         ; INT3    $FFF8
        DW int2                         ; INT2    $FFFA
        DW int1                         ; INT1    $FFFC
        DW reset                        ; reset   $FFFE

; TRAP 9-23: no service, straight back.
        ORG $FFCF
nosvc:  RETS
