; Directives, expressions, labels and strings.
PORTB   = 6
KEY     = $C000
COUNT   EQU 10
SIZE    EQU end-start
        ORG $F800
start:  MOV %COUNT,B
        MOV #0A,A
.loop:  DJNZ B,.loop
        MOVP #03,P(PORTB)
wait:   BTJZP #01,P4,wait
        STA @KEY
        LDA @#C000(B)
        JMP $-2
        JMP $+0x10
        CALL table
        TRAP 3
table:  DB 1,2,$FF,-1,'A',<table,>table+1,(>table)+1
        DW table, $, -32768, 65535
        TEXT "OVIX\n\t\x41\"\\\0",0
        ASCII "a",'b'
        BYTE ~5 & $F0 | 3 ^ 1, 7 % 3, 100 / 7, 1 << 3, $80 >> 2, -(2*3)
        WORD SIZE
        ALIGN 16
        FILL 4,$EA
        DS COUNT
        INCLUDE "inc.asm"
        INCBIN "data.bin"
end:
        ORG $FFFE
        DW start
