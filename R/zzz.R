.onUnload <- function(libpath) {
    library.dynam.unload("lumo", libpath)
}
