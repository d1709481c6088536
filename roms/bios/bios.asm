; ============================================================================
; Ovix open BIOS: the main processor's 2 KiB internal ROM, 0F800h-0FFFFh.
;
; At reset it sets up the stack, the video chip (a 40 x 25 text page), timer
; 1 and the interrupts, makes the start-up handshake with the I/O processor,
; loads the character set (command 0Bh) into a pattern set, and starts a
; cartridge that carries our signature. Without one it fetches the logo
; (command 0Dh), shows it with a coloured banner and a prompt, echoes keys
; and blinks the cursor.
;
; Cartridge signature: the eight bytes "OVIXCART" at 7FF0h-7FF7h and the
; big-endian entry address at 7FF8h (in 0200h-7FFFh). Every cartridge size
; ends at 7FFFh, so the signature sits at the same place in all of them.
; What a cartridge finds at its entry, and the services it can call with
; TRAP 4..8, are described in docs/open-bios.md.
;
; Loading this image patches twelve bytes to NOPs: 0F977h-0F979h,
; 0F980h-0F982h, 0F98Dh-0F98Fh and 0F9AEh-0F9B0h. Nothing is placed in
; 0F970h-0F9B7h; a fill there stops the build if code grows into it.
;
; Written in the common syntax of ovix-asm (docs/programming.md).
; Build: ovix-asm --base F800 --size 2048 -o BIOS7020.bin bios.asm
; ============================================================================

; ---- Peripheral registers (Pn is address 0100h + n) ------------------------
IOCNT0  EQU     P0                      ; interrupt enables (bits 0, 2, 4) and flags (1, 3, 5);
                                        ; bit 1 also reads 1 while the INT1 line is asserted
T1DATA  EQU     P2                      ; timer 1 reload value
T1CTL   EQU     P3                      ; timer 1: bit 7 run, bits 4-0 prescaler reload
APORT   EQU     P4                      ; port A: bit 0 is the I/O processor's line A0
BPORT   EQU     P6                      ; port B: bits 0, 1 are the lines B0, B1 to it
VDPRD   EQU     P36                     ; 0124h read: VRAM data through the pointers
VDPRST  EQU     P39                     ; 0127h read: resets the video chip
VDPREG  EQU     P45                     ; 012Dh write: register port
VDPWR   EQU     P46                     ; 012Eh write: VRAM data through the pointers
MAILBOX EQU     P48                     ; 0130h: the byte shared with the I/O processor

LINE_B0 EQU     01h                     ; port B bits
LINE_B1 EQU     02h

; ---- Register file ---------------------------------------------------------
; R0 = A, R1 = B. R2-R7 belong to the interrupt handlers and the reply ring
; for good; R8-R15 are scratch of every routine and service; R16-R31 are the
; console's (free for a cartridge); the stack grows upwards from R96.
PBSH    EQU     R2                      ; shadow of port B (port B only changes through it)
RXHEAD  EQU     R3                      ; ring write index (INT1)
RXTAIL  EQU     R4                      ; ring read index
IOFLAG  EQU     R5                      ; HSK | BUSY, below
TICKS   EQU     R6                      ; +1 on every timer 1 interrupt (20 ms)
PENDKEY EQU     R7                      ; a key press taken while waiting for a reply, or 0
ARG     EQU     R8                      ; register number for vdp_reg16
ADRH    EQU     R9                      ; VRAM address, high byte: pair ADRL
ADRL    EQU     R10
CNT     EQU     R11                     ; loop counters
CNT2    EQU     R12
TMP     EQU     R13
CROW    EQU     R16                     ; cursor row 0..24
CCOL    EQU     R17                     ; cursor column 0..39
CATTR   EQU     R18                     ; attribute of printed characters
CURON   EQU     R19                     ; 1 while the cursor cell shows swapped colours
BLINKAT EQU     R20                     ; TICKS value of the next blink
PTRH    EQU     R21                     ; text pointer, high byte: pair PTRL
PTRL    EQU     R22
CMD     EQU     R23                     ; command being sent by iocall
GLYPH   EQU     R24                     ; loader counters
TROW    EQU     R25
KEYC    EQU     R26                     ; key being handled

STACK   EQU     5Fh                     ; the first push goes to R96

HSK     EQU     01h                     ; IOFLAG: the start-up byte is awaited
BUSY    EQU     02h                     ; IOFLAG: a reply is under way
RELEASE EQU     04h                     ; the key code sent when a key goes up

; ---- Memory and video memory -----------------------------------------------
RXBUF   EQU     0C000h                  ; 256-byte reply ring (0C000h-0C0FFh); RAM above is free
CARTSIG EQU     7FF0h                   ; cartridge signature and entry
CARTENT EQU     7FF8h
TPAGE   EQU     0000h                   ; the text page (BAPA), 2000 bytes
LOGOSET EQU     7000h                   ; pattern set 1 (BAGC1): logo tiles
FONTSET EQU     7800h                   ; pattern set 0 (BAGC0, BAGC2, BAGC3): character set

COLS    EQU     40
ROWS    EQU     25
LOGOROW EQU     1                       ; logo tiles: text rows 1-7, columns 12-27
LOGOCOL EQU     12
BLINK   EQU     20                      ; cursor blink: every 20 ticks (0.4 s)

ATTR_TEXT   EQU 0E4h                    ; white on blue
ATTR_PROMPT EQU 64h                     ; yellow on blue

; ============================================================================
        ORG 0F800h

reset:  DINT
        MOV #STACK,B
        LDSP
        CLR PBSH
        MOVP #0,BPORT                   ; B0, B1 low
        CLR RXHEAD
        CLR RXTAIL
        CLR IOFLAG
        CLR TICKS
        CLR PENDKEY
        CLR CURON
        CALL vdp_init
        MOV #ATTR_TEXT,CATTR
        CALL cls
        ; Timer 1: INT2 every 16 x (24 + 1) x (249 + 1) = 100000 cycles.
        MOVP #0F9h,T1DATA
        MOVP #98h,T1CTL
        MOVP #2Fh,IOCNT0                ; stale flags cleared; INT1, INT2 on
        EINT
        ; Start-up handshake: B0 up; half a second later the start-up byte
        ; comes through INT1, whose handler answers it (B1 up, B0 down).
        OR #HSK,IOFLAG
        OR #LINE_B0,PBSH
        MOV PBSH,A
        MOVP A,BPORT
.hsk:   BTJZ #HSK,IOFLAG,.font
        IDLE
        JMP .hsk
.font:  MOV #0Bh,B
        CALL iocall
        CALL load_font
        CALL cartridge
        MOV #0Dh,B
        CALL iocall
        CALL load_logo
        CALL show_logo
        MOVD #banner,PTRL
        CALL print_tab
        BR console

; cartridge: with the signature in place, on to the cartridge's entry;
; otherwise back. Uses A, B, ADRH, ADRL.
cartridge:
        CLR B
.sig:   LDA @CARTSIG(B)
        CMPA @signature(B)
        JNE .none
        INC B
        CMP #8,B
        JL .sig
        LDA @CARTENT
        CMP #2,A                        ; the entry must lie in 0200h-7FFFh
        JL .none
        CMP #80h,A
        JHS .none
        MOV A,ADRH
        LDA @CARTENT+1
        MOV A,ADRL
        BR *ADRL
.none:  RETS

signature:
        TEXT "OVIXCART"

        INCLUDE "video.asm"

; ---- Left empty: loading patches bytes in here -----------------------------
        ORG 0F970h
        FILL 0F9B8h-0F970h,0FFh

        ORG 0F9B8h
        INCLUDE "io.asm"
        INCLUDE "console.asm"

; Banner: row, column, attribute, text, 0 ... 0FFh. The attribute's ink is in
; bits 7-5, its paper in bits 2-0.
banner:
        DB 9, 0, 61h
        TEXT "        OVIX   OPEN   BIOS   1.0        ", 0
        DB 10, 0, 0E0h
        TEXT "     ", 0
        DB 10, 5, 0C1h
        TEXT "     ", 0
        DB 10, 10, 0A2h
        TEXT "     ", 0
        DB 10, 15, 83h
        TEXT "     ", 0
        DB 10, 20, 64h
        TEXT "     ", 0
        DB 10, 25, 45h
        TEXT "     ", 0
        DB 10, 30, 26h
        TEXT "     ", 0
        DB 10, 35, 07h
        TEXT "     ", 0
        DB 12, 4, 0C4h
        TEXT "2K RAM   32K VIDEO RAM   8 COLOURS", 0
        DB 14, 0, 44h
        TEXT "READY", 0
        DB 15, 0, ATTR_PROMPT
        TEXT "> ", 0
        DB 0FFh

; ---- Vectors: TRAP n at 0FFFEh - 2n; TRAP 0-3 share reset, INT1-INT3 --------
        ORG 0FFD0h
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 23-19
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 18-14
        DW nosvc, nosvc, nosvc, nosvc, nosvc ; TRAP 13-9
        DW vdp_addr                     ; TRAP 8  0FFEEh
        DW vdp_reg16                    ; TRAP 7  0FFF0h
        DW vdp_reg8                     ; TRAP 6  0FFF2h
        DW getkey                       ; TRAP 5  0FFF4h
        DW pollkey                      ; TRAP 4  0FFF6h
        DW int3                         ; INT3    0FFF8h
        DW int2                         ; INT2    0FFFAh
        DW int1                         ; INT1    0FFFCh
        DW reset                        ; reset   0FFFEh

; TRAP 9-23: no service, straight back.
        ORG 0FFCFh
nosvc:  RETS
