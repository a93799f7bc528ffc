" Vim syntax file
" Language:   quarvel score, the music language of quarvelcd (*.qvl)
" Install:    copy syntax/ and ftdetect/ into ~/.vim/
"
" Letters are case-insensitive and arguments are hexadecimal digits written
" directly after their command. A command is coloured together with its
" arguments; a character that can start nothing is marked as an error.

if exists("b:current_syntax")
  finish
endif

syntax case ignore

" Anything not taken by a rule below cannot start a command or a note.
syntax match quarvelError        /\S/

" Note modes: * upward steps, @ downward steps, _ noise.
syntax match quarvelMode         /[*@_]/

" A rest.
syntax match quarvelRest         /\$/

" Articulation right after a note, its accidental or a rest.
syntax match quarvelArticulation /\%([0-9a-g#%&$]\)\@<=['",;]/

" One or two accidental marks right after the step: # sharp, & flat, % natural.
syntax match quarvelAccidental   /\%([0-9a-g]\)\@<=[#%&]\{1,2}/

" A note: an optional sign and one degree character, 0-9 and A-G.
syntax match quarvelNote         /[+-]\=[0-9a-g]/

" Durations: whole to 64th, an optional triplet mark and any dots.
syntax match quarvelDuration     /[whqistx]:\=\.*/

" Repeats: ( ... )d
syntax match quarvelRepeat       /(/
syntax match quarvelRepeat       /)[0-9a-f]/

" Commands with their arguments.
syntax match quarvelCommand      /=[0-9a-f]\{2}/
syntax match quarvelCommand      /[<>][0-9a-f]/
syntax match quarvelCommand      /j[a-e]\%([rs][0-9a-f]\{9}\|t[0-9a-f]\)/
syntax match quarvelCommand      /k[0-7][#&]/
syntax match quarvelCommand      /l[0-9a-f]/
syntax match quarvelCommand      /n[hqist]/
syntax match quarvelCommand      /o[0-9a-f]/
syntax match quarvelCommand      /p\%([0-9a-f]\{2}\)\=/
syntax match quarvelCommand      /r[0-9a-f]\{2}/
syntax match quarvelCommand      /u[+-]\=[0-9a-f]/
syntax match quarvelCommand      /v[1-5]/
syntax match quarvelCommand      /y[a-e]/
syntax match quarvelCommand      /z[0-9]/

" The bar line takes the rest of its word (a bar number, say); only a blank
" or the line end stops it.
syntax match quarvelBarLine      /m[^ ]*/

" A comment runs from / to the end of the line.
syntax match quarvelComment      +/.*$+ contains=@Spell

highlight default link quarvelComment      Comment
highlight default link quarvelCommand      Statement
highlight default link quarvelBarLine      quarvelCommand
highlight default link quarvelDuration     Type
highlight default link quarvelNote         Number
highlight default link quarvelAccidental   Operator
highlight default link quarvelArticulation Delimiter
highlight default link quarvelRest         Special
highlight default link quarvelMode         PreProc
highlight default link quarvelRepeat       Repeat
highlight default link quarvelError        Error

let b:current_syntax = "quarvel"
