int zepa_placeholder;
