; The mixed loop of the benchmark: 27 instructions per round of the kinds a
; program spends its time in (register and immediate arithmetic, RAM loads
; and stores, direct and indexed, a compare and branches, a CALL with
; PUSH/POP, MOVD, a rotate, DJNZ). Uses R16-R31 and RAM from $C100, which
; a cartridge may use under the open BIOS; never returns.
mixed:  MOV #100,R16                    ; round counter
.round: MOV R16,A                       ;  1
        ADD #3,A                        ;  2
        MOV A,R17                       ;  3
        INC B                           ;  4
        XOR R17,R18                     ;  5
        AND #$7F,A                       ;  6
        STA @$C100(B)                   ;  7  indexed store
        LDA @$C101                      ;  8
        CMP #$80,A                      ;  9
        JNE .skip                       ; 10  always taken (A < $80)
        NOP
.skip:  CALL .sub                       ; 11
        MOV R18,B                       ; 18
        BTJO #1,R16,.odd               ; 19  taken every other round
        INC R20                         ; 20  (even rounds)
        JMP .join                       ; 21
.odd:   DEC R20                         ; 20  (odd rounds)
        NOP                             ; 21
.join:  SUB R20,R21                     ; 22
        MOV R21,R22                     ; 23
        RR R22                          ; 24
        OR R22,R19                      ; 25
        MOV #0,B                        ; 26
        DJNZ R16,.round                 ; 27
        JMP mixed

.sub:   PUSH A                          ; 12
        MOVD #$1234,R25                  ; 13
        ADD R25,R23                     ; 14
        RL R23                          ; 15
        POP A                           ; 16
        RETS                            ; 17
