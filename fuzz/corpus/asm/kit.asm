; Register names as numbers, numbers as registers, warnings, assertions,
; macros with arguments, a cartridge's signature.
CLBUF   EQU     R32
PORTB   EQU     P6
count   EQU     3
PUT     MACRO   count, where
        MOV     #count,where
        ENDM
        ORG     6000h
start:  MOVD    #CLBUF,R34
        LDA     CLBUF(B)
        LDA     @PORTB
        SUB     "0",A
        MOV     6,A
        INC     5
        PUT     1,R9
        IF      count > 2
        WARNING "more than two"
        ELSE
        ERROR   "not reached"
        ENDIF
loop1:  JMP     loop1
        ASSERT  $ <= 7FF0h, "code runs into the signature"
        ORG     7FF0h
        TEXT    "OVIXCART"
        DW      start
