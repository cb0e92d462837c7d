# A scheduler's workers: batchtools jobs in separate R processes, started through a
# registry on disk, give the results of a serial run.

test_that("odp_test and timecourse_test give the serial result through batchtools workers", {
  skip_if_not_installed("batchtools")
  skip_if(system.file(package = "lumo") == "", "batchtools workers need lumo installed")
  set.seed(41)
  x <- matrix(rnorm(120 * 12), 120, 12)
  ind <- rep(1:3, each = 4); tl <- rep(0:3, 3)
  cases <- list(
    odp = function(BPPARAM) odp_test(x, rep(1:2, 6), B = 5, BPPARAM = BPPARAM),
    independent = function(BPPARAM) timecourse_test(x, tl, B = 5, BPPARAM = BPPARAM),
    fixed = function(BPPARAM) timecourse_test(x, tl, individual = ind, B = 5, BPPARAM = BPPARAM),
    random = function(BPPARAM) {
      timecourse_test(x, tl, individual = ind, intercept = "random", B = 5, BPPARAM = BPPARAM)
    })
  batch <- BiocParallel::BatchtoolsParam(workers = 2, cluster = "socket", progressbar = FALSE,
                                         registryargs = BiocParallel::batchtoolsRegistryargs(file.dir = tempfile()))
  for (name in names(cases)) {
    set.seed(3); serial <- cases[[name]](BiocParallel::SerialParam())
    set.seed(3); scheduled <- cases[[name]](batch)
    expect_identical(scheduled$table, serial$table, info = name)
    expect_identical(scheduled$null, serial$null, info = name)
  }
})
