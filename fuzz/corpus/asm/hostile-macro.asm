X MACRO p
 DB 1
 X p p
 ENDM
 X 1
