# The conversation model over a temporary root with the real store and log, on a hand-driven clock.
velto_add_test(live_model_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/Model/LiveModelTest.cpp
  LIBS veltovoice_core test_support_app Qt6::Test
  LABELS live_model)
