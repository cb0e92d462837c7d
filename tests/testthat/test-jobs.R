# Job control on ids that name no job, and the library version.

test_that("job control rejects ids that were never issued", {
  for (fn in c("GetProgressValues", "StopThread", "DeleteThread")) {
    expect_error(.Call(fn, 987654L, PACKAGE = "lumo"),
                 "Could not get information for thread id 987654", fixed = TRUE)
    expect_error(.Call(fn, NA_integer_, PACKAGE = "lumo"), "Could not get information for thread id")
    expect_error(.Call(fn, integer(0), PACKAGE = "lumo"), "Could not get information for thread id")
    expect_error(suppressWarnings(.Call(fn, "x", PACKAGE = "lumo")), "Could not get information for thread id")
  }
})

test_that("the library reports its version", {
  expect_identical(.Call("GetLumoLibraryVersion", PACKAGE = "lumo"), "1.1.290")
})
