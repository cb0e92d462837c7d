# The .Fortran routines knnimp and twomis: sizes, start rows, indicators and
# storage types they cannot use end in an R error naming the argument.

knnimp <- function(p = 3L, n = 2L, kn = 1L, NAOK = FALSE, imiss = integer(6)) {
  .Fortran("knnimp", x = double(6), ximp = double(6), p = p, n = n, imiss = imiss, irmiss = integer(3),
           kn = kn, workp = double(0), workn = double(0), iworkp = integer(0), iworkn = integer(0), NAOK = NAOK,
           PACKAGE = "lumo")
}
twomis <- function(istart, x = as.double(1:6), NAOK = FALSE) {
  .Fortran("twomis", x = x, p = 3L, n = 2L, imiss = integer(6), x0 = double(4), imiss0 = integer(4), maxit = 10L,
           eps = 1e-6, istart = istart, clust = integer(6), nsize = integer(2), dist = double(6), ratio = double(1),
           iter = integer(1), iworkp = integer(3), iworkn = integer(2), NAOK = NAOK, PACKAGE = "lumo")
}

test_that("knnimp and twomis refuse bad sizes, start rows and storage types", {
  cases <- list(quote(knnimp(kn = 3L)), "'kn' is 3.*p is 3", quote(knnimp(kn = 25L)), "'kn'",
                quote(knnimp(kn = -1L)), "'kn' is -1", quote(knnimp(n = -3L)), "'n' is -3",
                # R refuses NA unless NAOK is set; with it the routines still refuse.
                quote(knnimp(p = NA_integer_, NAOK = TRUE)), "'p'",
                quote(knnimp(p = 3)), "wrong type for argument 3",
                # Indicators are 0 (present) or 1 (missing) only.
                quote(knnimp(imiss = c(0L, 1L, 0L, 0L, -1L, 0L))), "'imiss' is -1 at row 2, column 2",
                quote(knnimp(imiss = c(0L, 0L, 3L, 0L, 0L, 0L))), "'imiss' is 3 at row 3, column 1",
                quote(knnimp(imiss = c(2L, 0L, 0L, 0L, 0L, 1L))), "'imiss' is 2 at row 1, column 1",
                quote(twomis(c(1L, 4L))), "'istart\\[2\\]' is 4", quote(twomis(c(0L, 2L))), "'istart\\[1\\]' is 0",
                quote(twomis(c(1L, NA), NAOK = TRUE)), "'istart\\[2\\]'",
                quote(twomis(1:2, x = 1:6)), "wrong type for argument 1")
  for (i in seq(1, length(cases), 2)) expect_error(eval(cases[[i]]), cases[[i + 1]], info = cases[[i + 1]])
  expect_identical(knnimp()$ximp, double(6))   # a valid call runs
  expect_identical(knnimp(imiss = c(0L, 1L, 0L, 1L, 0L, 1L))$imiss, c(0L, 1L, 0L, 1L, 0L, 1L))
})
