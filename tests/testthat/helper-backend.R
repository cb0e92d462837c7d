# One pair of SnowParam worker processes, started on first use and shared by
# every test that compares backends (starting workers costs seconds).
snow_workers <- local({
  param <- NULL
  function() {
    if (is.null(param)) {
      param <<- BiocParallel::SnowParam(2)
      BiocParallel::bpstart(param)
      withr::defer(BiocParallel::bpstop(param), testthat::teardown_env())
    }
    param
  }
})
