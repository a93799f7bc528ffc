" quarvel scores: the music language of quarvelcd
autocmd BufRead,BufNewFile *.qvl setfiletype quarvel
